#include "PseudoTerminalPair.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <system_error>

namespace Dorvane {

namespace {

int Check(int Result, const char* What) {
  if (Result < 0) throw std::system_error(errno, std::generic_category(), What);
  return Result;
}

// Raw from the start: a port that nobody has configured yet must not echo or translate the bytes
// that the relay hands it.
void MakeRaw(int Descriptor) {
  termios Settings{};
  Check(::tcgetattr(Descriptor, &Settings), "tcgetattr");
  ::cfmakeraw(&Settings);
  Settings.c_cflag |= CLOCAL | CREAD;
  Settings.c_cc[VMIN] = 0;
  Settings.c_cc[VTIME] = 0;
  Check(::tcsetattr(Descriptor, TCSANOW, &Settings), "tcsetattr");
}

// Writes everything unless the receiving port's queue stays full for a while: a port that nobody
// reads drops what it cannot hold, as a line with nobody listening would.
void Forward(int To, const unsigned char* Data, std::size_t Count) {
  while (Count > 0) {
    const ssize_t Written = ::write(To, Data, Count);
    if (Written > 0) {
      Data += Written;
      Count -= static_cast<std::size_t>(Written);
    } else if (Written < 0 && errno == EINTR) {
      continue;
    } else if (Written < 0 && errno == EAGAIN) {
      pollfd Fd{To, POLLOUT, 0};
      if (::poll(&Fd, 1, 100) <= 0 || (Fd.revents & POLLOUT) == 0) return;
    } else {
      return;
    }
  }
}

}  // namespace

TPseudoTerminalPair::TPseudoTerminalPair() {
  try {
    FStop = Check(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK), "eventfd");
    for (TEnd& End : FEnds) {
      End.Master = Check(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC), "posix_openpt");
      Check(::grantpt(End.Master), "grantpt");
      Check(::unlockpt(End.Master), "unlockpt");
      Check(::fcntl(End.Master, F_SETFL, ::fcntl(End.Master, F_GETFL) | O_NONBLOCK), "fcntl");
      char Name[128];
      if (const int Error = ::ptsname_r(End.Master, Name, sizeof Name); Error != 0)
        throw std::system_error(Error, std::generic_category(), "ptsname_r");
      End.Path = Name;
      End.Slave = Check(::open(Name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC), "open pseudo-terminal");
      MakeRaw(End.Slave);
    }
    FThread = std::thread([this] { Relay(); });
  } catch (...) {
    CloseAll();
    throw;
  }
}

TPseudoTerminalPair::~TPseudoTerminalPair() {
  const std::uint64_t One = 1;
  // One write cannot overflow an eventfd's counter: this does not fail.
  [[maybe_unused]] const ssize_t Written = ::write(FStop, &One, sizeof One);
  if (FThread.joinable()) FThread.join();
  CloseAll();
}

void TPseudoTerminalPair::CloseAll() noexcept {
  for (TEnd& End : FEnds) {
    if (End.Slave >= 0) ::close(End.Slave);
    if (End.Master >= 0) ::close(End.Master);
    End.Slave = End.Master = -1;
  }
  if (FStop >= 0) ::close(FStop);
  FStop = -1;
}

void TPseudoTerminalPair::Relay() {
  unsigned char Buffer[4096];
  for (;;) {
    pollfd Fds[3] = {{FEnds[0].Master, POLLIN, 0}, {FEnds[1].Master, POLLIN, 0}, {FStop, POLLIN, 0}};
    if (::poll(Fds, 3, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (Fds[2].revents != 0) return;
    bool Stalled = false;
    for (int Side = 0; Side < 2; ++Side) {
      if (Fds[Side].revents == 0) continue;
      const ssize_t Count = ::read(FEnds[static_cast<std::size_t>(Side)].Master, Buffer, sizeof Buffer);
      if (Count > 0)
        Forward(FEnds[static_cast<std::size_t>(1 - Side)].Master, Buffer, static_cast<std::size_t>(Count));
      else if (Count == 0 || (errno != EAGAIN && errno != EINTR))
        Stalled = true;
    }
    // A master that reports an error instead of bytes would report it again at once: wait a little
    // (for the stop signal) rather than spin.
    if (Stalled) {
      pollfd Stop{FStop, POLLIN, 0};
      if (::poll(&Stop, 1, 100) > 0) return;
    }
  }
}

}  // namespace Dorvane
