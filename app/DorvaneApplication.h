#pragma once
// The utility's side of the library's application services: the error display and the message
// boxes, the main-thread message pump on Qt's event loop, and a Qt application that lets no
// exception escape into Qt.

#include <QApplication>
#include <QMessageBox>
#include <QString>

#include <functional>

// The title of every message box: the application's own, which is the program's name since the
// utility sets none.
QString ApplicationTitle();

// Shows a message box with a single OK button, the application's title and Text, modal to the
// active window.
void ShowMessageBox(const QString& Text, QMessageBox::Icon Icon);

// Replaces the box that ShowMessageBox shows: tests record what would have been shown, and modes
// without a screen write it out. An empty hook brings the box back.
using TMessageBoxHook = std::function<void(const QString& Title, const QString& Text, QMessageBox::Icon Icon)>;
void SetMessageBoxHook(TMessageBoxHook Hook);

// Makes the library's application error display (Quorvel::Application) a message box with the
// critical icon and the exception's message.
void InstallExceptionDisplay();

// Runs Handler and hands whatever it throws to Quorvel::Application::HandleException: Qt calls the
// form's handlers and must never see an exception.
void Guarded(const std::function<void()>& Handler) noexcept;

// While it lives, the library's main-thread messages are dispatched by Qt's event loop: each wake-up
// schedules a dispatch on the loop. The wake-up may come from a worker thread, so it only schedules.
// Needs the QApplication; destroy it before the application.
class TQtMessagePump {
 public:
  TQtMessagePump();
  ~TQtMessagePump();
  TQtMessagePump(const TQtMessagePump&) = delete;
  TQtMessagePump& operator=(const TQtMessagePump&) = delete;
};

class TDorvaneApplication : public QApplication {
 public:
  TDorvaneApplication(int& Argc, char** Argv);

  // The last net under every event handler: what escapes is shown through the application's error
  // display and the event counts as unhandled; the program goes on.
  bool notify(QObject* Receiver, QEvent* Event) override;
};
