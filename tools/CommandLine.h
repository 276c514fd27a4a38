#pragma once
// The console programs' command lines, read option by option: "--baud 9600" and "--baud=9600"
// alike. Anything wrong raises EUsageError with a message for the user.

#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include <Quorvel/Types.h>

namespace Dorvane {

class EUsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class TCommandLine {
 public:
  // Args without the program name.
  explicit TCommandLine(const std::vector<std::string>& Args) : FArgs(Args) {}

  // Moves to the next argument; false once they are all read.
  bool Next();
  // The argument without its "=VALUE".
  const std::string& Option() const noexcept { return FOption; }
  // The argument as it was written.
  const std::string& Argument() const { return FArgs[FIndex]; }
  // For an option that takes no value: refuses "--flag=VALUE".
  void Flag() const;
  // The option's value: what follows its '=', or else the next argument.
  const std::string& Value();

 private:
  const std::vector<std::string>& FArgs;
  std::size_t FIndex = 0;
  bool FStarted = false;
  std::string FOption;
  std::string FValue;
  bool FHasValue = false;
};

// A whole decimal number, or EUsageError naming Option.
Quorvel::Cardinal ParseCount(const std::string& Option, std::string_view Text);

}  // namespace Dorvane
