#include "PageControl.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QTabBar>
#include <QWheelEvent>

namespace {

// The tab bar of a TPageControl: asks before each page change that it would make itself.
class TPageTabBar : public QTabBar {
 public:
  explicit TPageTabBar(TPageControl* Owner) : QTabBar(Owner), FOwner(Owner) {}

 protected:
  // A double click arrives here too (QWidget turns it into a press).
  void mousePressEvent(QMouseEvent* Event) override {
    if (Event->button() == Qt::LeftButton && !FOwner->PageChangeAllowed(tabAt(Event->position().toPoint()))) {
      Event->accept();
      return;
    }
    QTabBar::mousePressEvent(Event);
  }

  // The tab bar moves to the nearest enabled tab in the arrow's direction, without wrapping.
  void keyPressEvent(QKeyEvent* Event) override {
    if (Event->key() == Qt::Key_Left || Event->key() == Qt::Key_Right) {
      const Qt::Key Back = isRightToLeft() ? Qt::Key_Right : Qt::Key_Left;
      const int Step = Event->key() == Back ? -1 : 1;
      int Target = currentIndex() + Step;
      while (Target >= 0 && Target < count() && !(isTabEnabled(Target) && isTabVisible(Target))) Target += Step;
      if (Target >= 0 && Target < count() && !FOwner->PageChangeAllowed(Target)) {
        Event->accept();
        return;
      }
    }
    QTabBar::keyPressEvent(Event);
  }

  // The wheel turns no pages here, as on the platform whose dialogs this one follows; letting it
  // through unasked would bypass the check.
  void wheelEvent(QWheelEvent* Event) override { Event->ignore(); }

 private:
  TPageControl* FOwner;
};

}  // namespace

TPageControl::TPageControl(QWidget* Parent) : QTabWidget(Parent) { setTabBar(new TPageTabBar(this)); }

bool TPageControl::PageChangeAllowed(int Index) {
  if (Index < 0 || Index >= count() || Index == currentIndex() || !isTabEnabled(Index)) return true;
  bool AllowChange = true;
  emit changing(AllowChange);
  return AllowChange;
}

// Ctrl+Tab and Ctrl+Shift+Tab cycle through the enabled pages, wrapping at either end.
void TPageControl::keyPressEvent(QKeyEvent* Event) {
  const bool Cycle = (Event->key() == Qt::Key_Tab || Event->key() == Qt::Key_Backtab) &&
                     (Event->modifiers() & Qt::ControlModifier) && count() > 1;
  if (Cycle) {
    const int Step = (Event->key() == Qt::Key_Backtab || (Event->modifiers() & Qt::ShiftModifier)) ? -1 : 1;
    int Target = currentIndex();
    for (int Pass = 0; Pass < count(); ++Pass) {
      Target = (Target + Step + count()) % count();
      if (isTabEnabled(Target)) break;
    }
    if (!PageChangeAllowed(Target)) {
      Event->accept();
      return;
    }
  }
  QTabWidget::keyPressEvent(Event);
}
