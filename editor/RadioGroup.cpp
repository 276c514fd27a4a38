#include "RadioGroup.h"

#include <QButtonGroup>
#include <QEvent>
#include <QFontMetrics>
#include <QRadioButton>

#include <algorithm>

TRadioGroup::TRadioGroup(QWidget* Parent) : QGroupBox(Parent), FGroup(new QButtonGroup(this)) {
  FGroup->setExclusive(true);
  // idToggled comes twice per change (off for the old item, on for the new one) and never for a
  // click on the item already on; only the "on" half is a change of selection.
  connect(FGroup, &QButtonGroup::idToggled, this, &TRadioGroup::ButtonToggled);
}

void TRadioGroup::SetColumns(int Value) {
  Value = std::max(1, Value);
  if (Value == FColumns) return;
  FColumns = Value;
  ArrangeButtons();
}

QStringList TRadioGroup::Items() const {
  QStringList Result;
  for (const QRadioButton* Button : FButtons) Result << Button->text();
  return Result;
}

void TRadioGroup::SetItems(const QStringList& Value) {
  FItemIndex = -1;
  for (QRadioButton* Button : FButtons) {
    FGroup->removeButton(Button);
    delete Button;
  }
  FButtons.clear();
  for (const QString& Text : Value) {
    auto* Button = new QRadioButton(Text, this);
    FGroup->addButton(Button, static_cast<int>(FButtons.size()));
    FButtons.push_back(Button);
    // Shown explicitly: buttons added to a group that is already on screen stay hidden otherwise.
    Button->setVisible(true);
  }
  ArrangeButtons();
}

QRadioButton* TRadioGroup::Button(int Index) const {
  return Index >= 0 && Index < Count() ? FButtons[static_cast<std::size_t>(Index)] : nullptr;
}

void TRadioGroup::SetItemIndex(int Value) {
  if (QRadioButton* Target = Button(Value)) {
    // Checking it toggles it, and ButtonToggled reports the change as a click would.
    Target->setChecked(true);
    return;
  }
  FItemIndex = -1;
  if (QAbstractButton* Checked = FGroup->checkedButton()) {
    // An exclusive group refuses to leave every item unchecked.
    FGroup->setExclusive(false);
    Checked->setChecked(false);
    FGroup->setExclusive(true);
  }
}

void TRadioGroup::ButtonToggled(int Index, bool Checked) {
  if (!Checked || Index == FItemIndex) return;
  FItemIndex = Index;
  emit itemClicked(Index);
}

void TRadioGroup::resizeEvent(QResizeEvent* Event) {
  QGroupBox::resizeEvent(Event);
  ArrangeButtons();
}

void TRadioGroup::changeEvent(QEvent* Event) {
  QGroupBox::changeEvent(Event);
  // Both move the frame and the caption, and with them the room for the buttons.
  if (Event->type() == QEvent::FontChange || Event->type() == QEvent::StyleChange) ArrangeButtons();
}

// The box's contents (inside the frame, below the caption, as the style draws them) are shared out
// in equal rows, the rounding remainder split above and below, and in equal columns.
void TRadioGroup::ArrangeButtons() {
  if (FButtons.empty()) return;
  const int PerColumn = (Count() + FColumns - 1) / FColumns;
  const QRect Area = contentsRect().adjusted(Indent, 0, 0, 0);
  const int ButtonHeight = std::max(1, Area.height() / PerColumn);
  const int Top = Area.top() + std::max(0, Area.height() - ButtonHeight * PerColumn) / 2;
  const int ButtonWidth = std::max(1, Area.width() / FColumns);
  for (int Index = 0; Index < Count(); ++Index) {
    FButtons[static_cast<std::size_t>(Index)]->setGeometry(Area.left() + (Index / PerColumn) * ButtonWidth,
                                                           Top + (Index % PerColumn) * ButtonHeight, ButtonWidth,
                                                           ButtonHeight);
  }
}
