#include "Descriptors.h"

#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <system_error>

namespace Quorvel::Testing::Descriptors {

namespace {

using TClock = std::chrono::steady_clock;

}  // namespace

timespec ToTimespec(TNanoseconds Duration) {
  const auto Count = std::max<std::int64_t>(Duration.count(), 0);
  return timespec{static_cast<time_t>(Count / 1'000'000'000), static_cast<long>(Count % 1'000'000'000)};
}

int Check(int Result, const char* What) {
  if (Result < 0) throw std::system_error(errno, std::generic_category(), What);
  return Result;
}

void Close(int& Descriptor) {
  if (Descriptor >= 0) ::close(Descriptor);
  Descriptor = -1;
}

void MakeRaw(int Descriptor) {
  termios Settings{};
  Check(::tcgetattr(Descriptor, &Settings), "tcgetattr");
  ::cfmakeraw(&Settings);
  Settings.c_cflag |= CLOCAL | CREAD;
  Settings.c_cc[VMIN] = 0;
  Settings.c_cc[VTIME] = 0;
  Check(::tcsetattr(Descriptor, TCSANOW, &Settings), "tcsetattr");
}

short PollFor(int Descriptor, short Events, TNanoseconds Timeout) {
  const auto Until = TClock::now() + Timeout;
  for (;;) {
    pollfd Fd{Descriptor, Events, 0};
    const timespec Left = ToTimespec(Until - TClock::now());
    const int Ready = ::ppoll(&Fd, 1, &Left, nullptr);
    if (Ready > 0) return Fd.revents;
    if (Ready == 0 || errno != EINTR) return 0;
  }
}

bool WriteAll(int Descriptor, const Byte* Data, std::size_t Count, TNanoseconds PerWait) {
  while (Count > 0) {
    const ssize_t Written = ::write(Descriptor, Data, Count);
    if (Written > 0) {
      Data += Written;
      Count -= static_cast<std::size_t>(Written);
    } else if (Written < 0 && errno == EINTR) {
      continue;
    } else if (Written < 0 && errno == EAGAIN) {
      if ((PollFor(Descriptor, POLLOUT, PerWait) & POLLOUT) == 0) return false;
    } else {
      return false;
    }
  }
  return true;
}

}  // namespace Quorvel::Testing::Descriptors
