#pragma once
/// @file
/// The library's exception classes and its fixed table of messages.

#include <stdexcept>
#include <string>

#include <Quorvel/Export.h>

namespace Quorvel {

/// Every error that the library itself detects carries one of the messages below.
class QUORVEL_EXPORT EQuorvelError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

/// Raised where an internal consistency test fails on data from the line (the ASCII frame
/// decoder's structural tests). Its message is "<text> (<source file>, line <n>)".
class QUORVEL_EXPORT EAssertionFailed : public std::logic_error {
 public:
  using std::logic_error::logic_error;
};

/// The index error of the library's lists (file record lists).
class QUORVEL_EXPORT EListError : public std::out_of_range {
 public:
  using std::out_of_range::out_of_range;
};

namespace Messages {
/// The library's messages, as EQuorvelError::what() gives them; %d is filled by FormatMessage.
///@{
inline constexpr const char* SerialBuffersInit = "Failed to initialize serial I/O buffers";
inline constexpr const char* TimeoutsInit = "Failed to initialize communication timeouts";
inline constexpr const char* EventMaskInit = "Failed to initialize serial event mask";
inline constexpr const char* UpdateDCB = "Failed to update device control block";
inline constexpr const char* ConnectionActive =
    "Connection must NOT be active for the requested action to be performed";
inline constexpr const char* ConnectionInactive =
    "Connection MUST be active for the requested action to be performed";
inline constexpr const char* EncodeFrame = "Failed to encode frame";
inline constexpr const char* DecodeFrame = "Failed to decode frame";
inline constexpr const char* InternalError = "Internal error";
inline constexpr const char* BufferSpace =
    "There is not enough space in the buffer to perform the requested action";
inline constexpr const char* BufferPosition = "Buffer position is invalid (%d)";
inline constexpr const char* BufferSize = "Buffer size is invalid (%d)";
inline constexpr const char* StartRegIndex = "Starting register index is invalid (%d)";
inline constexpr const char* RegIndex = "Register index is invalid (%d)";
inline constexpr const char* NoConnection = "There is no active connection";
inline constexpr const char* ValueRange = "Value must be between %d and %d";
inline constexpr const char* DiagnosticAction = "Diagnostic action was not recognized";
inline constexpr const char* RegCount = "Register count must be between 1 and %d";
inline constexpr const char* OpenPort = "Could not open serial port";
inline constexpr const char* ListIndex = "List index out of bounds (%d)";
///@}
}  // namespace Messages

/// Fills each %d of Message with the next argument, in order. Arguments are 64-bit so that
/// 4294967295 prints as itself and -1 as -1.
///@{
QUORVEL_EXPORT std::string FormatMessage(const char* Message, long long Arg1);
QUORVEL_EXPORT std::string FormatMessage(const char* Message, long long Arg1, long long Arg2);
///@}

/// Raise EQuorvelError with Message, its %d filled with the arguments; RaiseInternalError raises
/// "Internal error".
///@{
[[noreturn]] QUORVEL_EXPORT void RaiseError(const char* Message);
[[noreturn]] QUORVEL_EXPORT void RaiseErrorFmt(const char* Message, long long Arg1);
[[noreturn]] QUORVEL_EXPORT void RaiseErrorFmt(const char* Message, long long Arg1, long long Arg2);
[[noreturn]] QUORVEL_EXPORT void RaiseInternalError();
///@}

/// Raises EAssertionFailed with "<Text> (<File>, line <Line>)".
[[noreturn]] QUORVEL_EXPORT void RaiseAssertion(const char* Text, const char* File, int Line);

}  // namespace Quorvel

/// Checks a condition on untrusted data; never compiled out, unlike assert(). Raises
/// EAssertionFailed with Text when it fails.
#define QUORVEL_ASSERT(Condition, Text) \
  do {                                  \
    if (!(Condition)) ::Quorvel::RaiseAssertion((Text), __FILE__, __LINE__); \
  } while (false)
