// Only kernel headers here: <asm/termbits.h> defines its own struct termios, which clashes with
// the C library's <termios.h>.
#include <asm/termbits.h>
#include <sys/ioctl.h>

#include <cerrno>

#include "platform/linux/ArbitraryRate.h"

namespace Quorvel::Platform::Posix {

namespace {

bool GetTermios2(int Fd, termios2& Settings) noexcept {
  for (;;) {
    if (::ioctl(Fd, TCGETS2, &Settings) == 0) return true;
    if (errno != EINTR) return false;
  }
}

bool CloseEnough(Cardinal Actual, Cardinal Wanted) noexcept {
  const auto Difference = Actual > Wanted ? Actual - Wanted : Wanted - Actual;
  return static_cast<unsigned long long>(Difference) * 100u <= static_cast<unsigned long long>(Wanted) * 3u;
}

}  // namespace

bool SetArbitraryRate(int Fd, Cardinal Rate) noexcept {
  if (Rate == 0) return false;
  termios2 Settings{};
  if (!GetTermios2(Fd, Settings)) return false;
  // The input rate field (CIBAUD) says BOTHER as well, so that the kernel takes c_ispeed and does not
  // keep an input rate left from an earlier setting.
  Settings.c_cflag &= ~(CBAUD | (CBAUD << IBSHIFT));
  Settings.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
  Settings.c_ispeed = Rate;
  Settings.c_ospeed = Rate;
  for (;;) {
    if (::ioctl(Fd, TCSETS2, &Settings) == 0) break;
    if (errno != EINTR) return false;
  }
  // The ioctl succeeds when anything was applied: only the read-back tells what the driver took.
  termios2 Applied{};
  if (!GetTermios2(Fd, Applied)) return false;
  return CloseEnough(Applied.c_ospeed, Rate) && CloseEnough(Applied.c_ispeed, Rate);
}

}  // namespace Quorvel::Platform::Posix
