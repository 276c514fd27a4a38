#pragma once
// TRadioGroup: a captioned box of mutually exclusive items, addressed by index and laid out in
// columns. The items fill the first column from top to bottom, then the next.

#include <QGroupBox>
#include <QStringList>

#include <vector>

class QButtonGroup;
class QRadioButton;

class TRadioGroup : public QGroupBox {
  Q_OBJECT

 public:
  explicit TRadioGroup(QWidget* Parent = nullptr);

  int Columns() const { return FColumns; }
  void SetColumns(int Value);

  // Replaces the items; none is selected afterwards.
  QStringList Items() const;
  void SetItems(const QStringList& Value);
  int Count() const { return static_cast<int>(FButtons.size()); }
  QRadioButton* Button(int Index) const;

  // -1 while nothing is selected. Setting an index outside the items clears the selection.
  int ItemIndex() const { return FItemIndex; }
  void SetItemIndex(int Value);

 signals:
  // The group's click: once for every change of the selection to an item, whether the user (mouse,
  // arrow keys, accelerator) or SetItemIndex made it. Clearing the selection, or choosing the item
  // that is already selected, is no change and emits nothing.
  void itemClicked(int Index);

 protected:
  void resizeEvent(QResizeEvent* Event) override;
  void changeEvent(QEvent* Event) override;

 private:
  void ButtonToggled(int Index, bool Checked);
  void ArrangeButtons();

  // Between the frame and the first column.
  static constexpr int Indent = 6;

  QButtonGroup* FGroup;
  std::vector<QRadioButton*> FButtons;
  int FColumns = 1;
  int FItemIndex = -1;
};
