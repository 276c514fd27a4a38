#include "CommandLine.h"

#include <charconv>

namespace Dorvane {

bool TCommandLine::Next() {
  if (FStarted) ++FIndex;
  FStarted = true;
  if (FIndex >= FArgs.size()) return false;
  FOption = FArgs[FIndex];
  FValue.clear();
  FHasValue = false;
  if (const auto Equals = FOption.find('='); FOption.rfind("--", 0) == 0 && Equals != std::string::npos) {
    FValue = FOption.substr(Equals + 1);
    FOption.erase(Equals);
    FHasValue = true;
  }
  return true;
}

void TCommandLine::Flag() const {
  if (FHasValue) throw EUsageError(FOption + " takes no value");
}

const std::string& TCommandLine::Value() {
  if (!FHasValue) {
    if (FIndex + 1 >= FArgs.size()) throw EUsageError(FOption + " needs a value");
    FValue = FArgs[++FIndex];
    FHasValue = true;
  }
  return FValue;
}

Quorvel::Cardinal ParseCount(const std::string& Option, std::string_view Text) {
  Quorvel::Cardinal Value = 0;
  const auto [End, Error] = std::from_chars(Text.data(), Text.data() + Text.size(), Value);
  if (Error != std::errc() || End != Text.data() + Text.size() || Text.empty())
    throw EUsageError(Option + ": '" + std::string(Text) + "' is not a number");
  return Value;
}

}  // namespace Dorvane
