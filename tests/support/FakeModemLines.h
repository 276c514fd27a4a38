#pragma once
// A driver's modem lines played by the test, for ports that have none (pseudo-terminals): while it
// lives, every modem-line request of the POSIX layer reaches it instead of the driver.

#include <sys/ioctl.h>

#include <atomic>

#include "platform/linux/ModemLines.h"

namespace Quorvel::Testing {

class TFakeModemLines final : public Platform::Posix::TModemLineAccess {
 public:
  TFakeModemLines() { Platform::Posix::InstallModemLineAccess(this); }
  ~TFakeModemLines() override { Platform::Posix::InstallModemLineAccess(nullptr); }
  TFakeModemLines(const TFakeModemLines&) = delete;
  TFakeModemLines& operator=(const TFakeModemLines&) = delete;

  // What the other end drives.
  std::atomic<bool> Dsr{false};
  // What this end drove last: -1 never, else 0 or 1.
  std::atomic<int> Dtr{-1};
  std::atomic<int> DsrReads{0};

  bool Get(int, int& Lines) noexcept override {
    ++DsrReads;
    Lines = (Dsr ? TIOCM_DSR : 0) | (Dtr == 1 ? TIOCM_DTR : 0);
    return true;
  }
  bool Set(int, int Line, bool On) noexcept override {
    if (Line == TIOCM_DTR) Dtr = On ? 1 : 0;
    return true;
  }
};

}  // namespace Quorvel::Testing
