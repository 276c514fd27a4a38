#pragma once
// Helpers shared by the settings dialog's tests: finding its controls by name, catching what it
// shows through the application's error display, and showing a window for real offscreen.

#include <QApplication>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QWidget>
#include <QWindow>

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include <Quorvel/Application.h>

// Readable failures for Qt strings and string lists.
inline void PrintTo(const QString& Text, std::ostream* Stream) { *Stream << '"' << Text.toStdString() << '"'; }

namespace EditorTest {

template <typename T>
T* Child(const QWidget& Form, const char* Name) {
  T* Widget = Form.findChild<T*>(QString::fromLatin1(Name));
  EXPECT_NE(Widget, nullptr) << Name;
  return Widget;
}

inline QLineEdit* Edit(const QWidget& Form, const char* Name) { return Child<QLineEdit>(Form, Name); }

// Every message that reaches Application::HandleException while it lives.
class TShownErrors {
 public:
  TShownErrors() {
    Quorvel::Application::SetExceptionDisplay([this](const std::string& Message) { Messages.push_back(Message); });
  }
  ~TShownErrors() { Quorvel::Application::SetExceptionDisplay(nullptr); }
  TShownErrors(const TShownErrors&) = delete;
  TShownErrors& operator=(const TShownErrors&) = delete;

  std::vector<std::string> Take() {
    std::vector<std::string> Result;
    Result.swap(Messages);
    return Result;
  }

  std::vector<std::string> Messages;
};

// Shown, exposed and active, so that focus and keyboard input behave as on a desktop.
inline void ShowActive(QWidget& Window) {
  Window.show();
  Window.activateWindow();
  QElapsedTimer Timer;
  Timer.start();
  while (QApplication::activeWindow() != &Window && Timer.elapsed() < 5000) {
    QApplication::processEvents(QEventLoop::AllEvents, 20);
  }
  ASSERT_EQ(QApplication::activeWindow(), &Window);
}

}  // namespace EditorTest
