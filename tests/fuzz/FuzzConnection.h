#pragma once
// An active connection for the fuzz targets: reply processing and request handling refuse to
// run on a closed one. It sits on a pseudo-terminal whose other end nobody writes to, so its
// worker waits and never touches what the target feeds in on the main thread.

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include <Quorvel/Connection.h>

namespace QuorvelFuzz {

class TPseudoTerminal {
 public:
  TPseudoTerminal() {
    Master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (Master_ < 0 || ::grantpt(Master_) != 0 || ::unlockpt(Master_) != 0) Die("posix_openpt");
    const char* Name = ::ptsname(Master_);
    if (Name == nullptr) Die("ptsname");
    Path_ = Name;
  }
  ~TPseudoTerminal() { ::close(Master_); }
  TPseudoTerminal(const TPseudoTerminal&) = delete;
  TPseudoTerminal& operator=(const TPseudoTerminal&) = delete;

  const std::string& Path() const { return Path_; }

 private:
  [[noreturn]] static void Die(const char* What) {
    std::perror(What);
    std::abort();
  }
  int Master_ = -1;
  std::string Path_;
};

// Declared in this order so that the connection closes before its port goes away.
struct TFuzzConnection {
  TPseudoTerminal Terminal;
  Quorvel::TModbusConnection Connection;

  TFuzzConnection(Quorvel::TTransmissionMode Mode, Quorvel::TConnectionMode Role) {
    Connection.SetPort(Terminal.Path());
    // Pseudo-terminals carry bytes, not parity bits.
    Connection.SetParity(Quorvel::psNone);
    Connection.SetTransmissionMode(Mode);
    Connection.SetConnectionMode(Role);
  }
};

// Gives binary bytes a good frame check and turns them into what the line carries, as far as
// one frame holds them: most interesting inputs must pass the check to get anywhere.
inline void EncodeWithGoodCheck(const Quorvel::TModbusConnection& C, std::vector<Quorvel::Byte>& Raw) {
  Quorvel::TModbusBuffer Binary(C.FrameBufferSize());
  const std::size_t Room = static_cast<std::size_t>(C.FrameBufferSize() - C.ChecksumSize());
  for (std::size_t I = 0; I < std::min(Raw.size(), Room); ++I) Binary.WriteByte(Raw[I]);
  C.AppendChecksum(Binary);
  Raw.assign(static_cast<std::size_t>(C.RawFrameSize()), 0);
  Raw.resize(static_cast<std::size_t>(C.EncodeFrame(Binary, Raw.data(), C.RawFrameSize())));
}

// Stops the run with a message when a property that must hold does not.
#define FUZZ_CHECK(Condition)                                                      \
  do {                                                                             \
    if (!(Condition)) {                                                            \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #Condition); \
      std::abort();                                                                \
    }                                                                              \
  } while (false)

}  // namespace QuorvelFuzz
