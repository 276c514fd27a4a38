#pragma once
// A driver's modem lines played by the test, for ports that have none (pseudo-terminals): while it
// lives, every modem-line request of the POSIX layer reaches it instead of the driver.

#include <sys/ioctl.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include <Quorvel/Messages.h>
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
  // How long raising RTS takes, as on a slow driver: the writer sits inside its frame meanwhile.
  std::atomic<int> RtsRaiseMs{0};

  // Every change of RTS, in order, and whether the main thread made it (or the worker).
  struct TRtsChange {
    bool On;
    bool ByMainThread;
    bool operator==(const TRtsChange&) const = default;
  };
  std::vector<TRtsChange> RtsChanges() const {
    std::lock_guard Lock(FRtsLock);
    return FRtsChanges;
  }

  bool Get(int, int& Lines) noexcept override {
    ++DsrReads;
    Lines = (Dsr ? TIOCM_DSR : 0) | (Dtr == 1 ? TIOCM_DTR : 0);
    return true;
  }
  bool Set(int, int Line, bool On) noexcept override {
    if (Line == TIOCM_DTR) Dtr = On ? 1 : 0;
    if (Line == TIOCM_RTS) {
      {
        std::lock_guard Lock(FRtsLock);
        FRtsChanges.push_back({On, MainThread::IsMainThread()});
      }
      if (On) std::this_thread::sleep_for(std::chrono::milliseconds(RtsRaiseMs.load()));
    }
    return true;
  }

 private:
  mutable std::mutex FRtsLock;
  std::vector<TRtsChange> FRtsChanges;
};

}  // namespace Quorvel::Testing
