#include <Quorvel/Application.h>

#include <iostream>
#include <mutex>
#include <utility>

#include <Quorvel/Messages.h>

namespace Quorvel::Application {

namespace {

struct TDisplayState {
  std::mutex Lock;
  TExceptionDisplay Display;
};

// Never destroyed, like the message queue: a static connection closed during exit may still report.
TDisplayState& State() {
  static TDisplayState& Instance = *new TDisplayState;
  return Instance;
}

void WriteToStandardError(const std::string& Message) { std::cerr << Message << std::endl; }

void ShowOnThisThread(const std::string& Message) {
  TExceptionDisplay Display;
  {
    // Copied so that a display which runs a nested event loop (a modal box) holds no lock meanwhile.
    std::lock_guard Guard(State().Lock);
    Display = State().Display;
  }
  if (Display)
    Display(Message);
  else
    WriteToStandardError(Message);
}

}  // namespace

void SetExceptionDisplay(TExceptionDisplay Display) {
  std::lock_guard Guard(State().Lock);
  State().Display = std::move(Display);
}

void ShowException(const std::string& Message) {
  if (MainThread::IsMainThread())
    ShowOnThisThread(Message);
  else
    MainThread::Synchronize([&Message] { ShowOnThisThread(Message); });
}

void HandleException(std::exception_ptr E) noexcept {
  if (!E) return;
  std::string Message;
  try {
    std::rethrow_exception(E);
  } catch (const EAbort&) {
    return;
  } catch (const std::exception& Error) {
    Message = Error.what();
  } catch (...) {
    Message = "Unknown exception";
  }
  try {
    ShowException(Message);
  } catch (...) {
    // The display itself failed; the message must still reach someone.
    try {
      WriteToStandardError(Message);
    } catch (...) {
    }
  }
}

}  // namespace Quorvel::Application
