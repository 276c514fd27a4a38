#include "platform/linux/ModemLines.h"

#include <sys/ioctl.h>

#include <atomic>
#include <cerrno>

namespace Quorvel::Platform::Posix {

namespace {

class TDriverModemLines final : public TModemLineAccess {
 public:
  bool Get(int Fd, int& Lines) noexcept override { return Retry([&] { return ::ioctl(Fd, TIOCMGET, &Lines); }); }
  bool Set(int Fd, int Line, bool On) noexcept override {
    return Retry([&] { return ::ioctl(Fd, On ? TIOCMBIS : TIOCMBIC, &Line); });
  }

 private:
  template <typename TCall>
  static bool Retry(TCall Call) noexcept {
    int Result;
    do {
      Result = Call();
    } while (Result < 0 && errno == EINTR);
    return Result == 0;
  }
};

TDriverModemLines DriverLines;
std::atomic<TModemLineAccess*> Installed{nullptr};

}  // namespace

TModemLineAccess& ModemLines() noexcept {
  TModemLineAccess* Access = Installed.load(std::memory_order_acquire);
  return Access != nullptr ? *Access : DriverLines;
}

void InstallModemLineAccess(TModemLineAccess* Access) noexcept { Installed.store(Access, std::memory_order_release); }

}  // namespace Quorvel::Platform::Posix
