#pragma once
/// @file
/// The application-wide error display. Every exception that the library catches on behalf of the
/// program (in a message handler, at the end of loading, in a worker thread) ends up here, so one
/// installable display decides how the user sees it: standard error in a console tool, a message box
/// in the Qt utility.

#include <exception>
#include <functional>
#include <string>

#include <Quorvel/Export.h>

namespace Quorvel {

/// Ends a piece of work without telling the user: HandleException shows nothing for it.
class QUORVEL_EXPORT EAbort : public std::exception {
 public:
  /// "Operation aborted".
  const char* what() const noexcept override { return "Operation aborted"; }
};

namespace Application {

/// Shows one message to the user.
using TExceptionDisplay = std::function<void(const std::string& Message)>;

/// Installs the display; an empty one restores the default, which writes the message and a line
/// break to standard error. Any thread may install; the display itself always runs on the main
/// thread (see ShowException).
QUORVEL_EXPORT void SetExceptionDisplay(TExceptionDisplay Display);

/// Shows E through the display: its what() for a std::exception, nothing for EAbort (or a null E),
/// "Unknown exception" for anything else. Never throws: a display that throws falls back to
/// standard error.
QUORVEL_EXPORT void HandleException(std::exception_ptr E = std::current_exception()) noexcept;

/// Passes Message to the display. Called on a worker thread, the display runs on the main thread
/// through MainThread::Synchronize and the worker waits for it (a display is usually a GUI box, which
/// only the main thread may show). Throws what the display throws.
QUORVEL_EXPORT void ShowException(const std::string& Message);

}  // namespace Application
}  // namespace Quorvel
