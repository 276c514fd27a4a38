#pragma once
// TPageControl: a tab widget whose page change the program may refuse. QTabWidget only reports a
// change after it happened, and switching back then would show the other page for a moment and
// send focus and change signals both ways, so every user action that would change the page (a
// click on a tab, the arrow keys on the tab bar, Ctrl+Tab and Ctrl+Shift+Tab) asks first.
// Changing the page from code asks nobody.

#include <QTabWidget>

class TPageControl : public QTabWidget {
  Q_OBJECT

 public:
  explicit TPageControl(QWidget* Parent = nullptr);

  // Emits changing() when Index is another enabled page; true when the page may change to it.
  bool PageChangeAllowed(int Index);

 signals:
  // Before the active page changes at the user's request. A handler that clears AllowChange keeps
  // the current page; the change signal of QTabWidget follows only a change that was allowed.
  void changing(bool& AllowChange);

 protected:
  void keyPressEvent(QKeyEvent* Event) override;
};
