#include "platform/Socket.h"

#include <charconv>

namespace Quorvel::Platform {

namespace {
constexpr std::string_view ConnectPrefix = "tcp://";
constexpr std::string_view ListenPrefix = "tcp-listen://";
}  // namespace

bool SplitHostPort(const std::string& Text, Word DefaultPort, bool AllowAnyPort, std::string& Host, Word& Port) {
  std::string_view Rest = Text;
  std::string_view Name;
  if (Rest.starts_with('[')) {
    // An IPv6 address holds colons of its own: only the brackets say where it ends.
    const auto Close = Rest.find(']');
    if (Close == std::string_view::npos) return false;
    Name = Rest.substr(1, Close - 1);
    Rest.remove_prefix(Close + 1);
    if (!Rest.empty() && !Rest.starts_with(':')) return false;
  } else {
    const auto Colon = Rest.rfind(':');
    Name = Rest.substr(0, Colon);
    Rest = Colon == std::string_view::npos ? std::string_view{} : Rest.substr(Colon);
  }
  if (Name.empty()) return false;
  unsigned Number = DefaultPort;
  if (Rest.empty()) {
    if (DefaultPort == 0) return false;
  } else {
    Rest.remove_prefix(1);
    const auto [End, Error] = std::from_chars(Rest.data(), Rest.data() + Rest.size(), Number);
    if (Error != std::errc{} || End != Rest.data() + Rest.size() || Rest.empty()) return false;
  }
  if (Number > 65535 || (Number == 0 && !AllowAnyPort)) return false;
  Host.assign(Name);
  Port = static_cast<Word>(Number);
  return true;
}

TTcpPortName ParseTcpPortName(const std::string& PortName, Word DefaultPort) {
  TTcpPortName Name;
  TTcpPortName::TKind Kind = TTcpPortName::None;
  std::string_view Rest = PortName;
  if (Rest.starts_with(ConnectPrefix)) {
    Kind = TTcpPortName::Connect;
    Rest.remove_prefix(ConnectPrefix.size());
  } else if (Rest.starts_with(ListenPrefix)) {
    Kind = TTcpPortName::Listen;
    Rest.remove_prefix(ListenPrefix.size());
  } else {
    return Name;
  }
  if (SplitHostPort(std::string(Rest), DefaultPort, Kind == TTcpPortName::Listen, Name.Host, Name.Port))
    Name.Kind = Kind;
  return Name;
}

}  // namespace Quorvel::Platform
