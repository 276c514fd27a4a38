#include "DorvaneApplication.h"

#include <QGuiApplication>
#include <QMetaObject>

#include <exception>
#include <mutex>
#include <utility>

#include <Quorvel/Application.h>
#include <Quorvel/Messages.h>

namespace {

struct THookState {
  std::mutex Lock;
  TMessageBoxHook Hook;
};

THookState& HookState() {
  static THookState State;
  return State;
}

}  // namespace

QString ApplicationTitle() { return QGuiApplication::applicationDisplayName(); }

void ShowMessageBox(const QString& Text, QMessageBox::Icon Icon) {
  TMessageBoxHook Hook;
  {
    std::lock_guard Guard(HookState().Lock);
    Hook = HookState().Hook;
  }
  if (Hook) {
    Hook(ApplicationTitle(), Text, Icon);
    return;
  }
  QMessageBox Box(Icon, ApplicationTitle(), Text, QMessageBox::Ok, QApplication::activeWindow());
  Box.exec();
}

void SetMessageBoxHook(TMessageBoxHook Hook) {
  std::lock_guard Guard(HookState().Lock);
  HookState().Hook = std::move(Hook);
}

void InstallExceptionDisplay() {
  Quorvel::Application::SetExceptionDisplay(
      [](const std::string& Message) { ShowMessageBox(QString::fromStdString(Message), QMessageBox::Critical); });
}

void Guarded(const std::function<void()>& Handler) noexcept {
  try {
    Handler();
  } catch (...) {
    Quorvel::Application::HandleException(std::current_exception());
  }
}

TQtMessagePump::TQtMessagePump() {
  Quorvel::MainThread::SetWakeUpHandler([] {
    // Never dispatch here: this may run on a worker thread, and must be quick.
    QMetaObject::invokeMethod(
        QCoreApplication::instance(), [] { Guarded(Quorvel::MainThread::ProcessMessages); }, Qt::QueuedConnection);
  });
  // What was queued before the pump existed woke nobody.
  QMetaObject::invokeMethod(
      QCoreApplication::instance(), [] { Guarded(Quorvel::MainThread::ProcessMessages); }, Qt::QueuedConnection);
}

TQtMessagePump::~TQtMessagePump() { Quorvel::MainThread::SetWakeUpHandler(nullptr); }

TDorvaneApplication::TDorvaneApplication(int& Argc, char** Argv) : QApplication(Argc, Argv) {}

bool TDorvaneApplication::notify(QObject* Receiver, QEvent* Event) {
  try {
    return QApplication::notify(Receiver, Event);
  } catch (...) {
    Quorvel::Application::HandleException(std::current_exception());
    return false;
  }
}
