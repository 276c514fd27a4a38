#include <Quorvel/Errors.h>

#include <cstring>
#include <initializer_list>

namespace Quorvel {

namespace {

std::string Substitute(const char* Message, std::initializer_list<long long> Args) {
  std::string Result;
  auto Next = Args.begin();
  for (const char* P = Message; *P != '\0'; ++P) {
    if (P[0] == '%' && P[1] == 'd' && Next != Args.end()) {
      Result += std::to_string(*Next++);
      ++P;
    } else {
      Result += *P;
    }
  }
  return Result;
}

}  // namespace

std::string FormatMessage(const char* Message, long long Arg1) { return Substitute(Message, {Arg1}); }

std::string FormatMessage(const char* Message, long long Arg1, long long Arg2) {
  return Substitute(Message, {Arg1, Arg2});
}

void RaiseError(const char* Message) { throw EQuorvelError(Message); }

void RaiseErrorFmt(const char* Message, long long Arg1) { throw EQuorvelError(FormatMessage(Message, Arg1)); }

void RaiseErrorFmt(const char* Message, long long Arg1, long long Arg2) {
  throw EQuorvelError(FormatMessage(Message, Arg1, Arg2));
}

void RaiseInternalError() { RaiseError(Messages::InternalError); }

void RaiseAssertion(const char* Text, const char* File, int Line) {
  // Only the file's own name: the build directory says nothing to whoever reads the message.
  const char* Slash = std::strrchr(File, '/');
  const char* Name = Slash != nullptr ? Slash + 1 : File;
  throw EAssertionFailed(std::string(Text) + " (" + Name + ", line " + std::to_string(Line) + ")");
}

}  // namespace Quorvel
