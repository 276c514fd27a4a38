#pragma once
// SIGINT and SIGTERM for a console program that sleeps in the library's message wait, and SIGUSR1
// where it asks for reports: they arrive on a descriptor, read by a thread of their own that wakes
// the main thread through a posted message, since no signal handler may touch the wait.

#include <signal.h>

#include <atomic>
#include <thread>

namespace Dorvane {

class TStopSignals {
 public:
  // Construct before any other thread starts: the threads inherit the blocked signals, so the
  // signals reach the descriptor and nobody else. With Reports, SIGUSR1 is taken too. Throws
  // std::system_error.
  explicit TStopSignals(bool Reports = false);
  ~TStopSignals();
  TStopSignals(const TStopSignals&) = delete;
  TStopSignals& operator=(const TStopSignals&) = delete;

  // Starts watching; the first stop signal sets Stopped and wakes the main thread, and so does
  // each SIGUSR1, for TakeReportRequest.
  void Start();
  bool Stopped() const { return FStopped; }
  // True once for the SIGUSR1s since the last call.
  bool TakeReportRequest() { return FReport.exchange(false); }

 private:
  sigset_t FSignals{};
  int FSignalFd = -1;
  int FQuit = -1;
  std::atomic<bool> FStopped{false};
  std::atomic<bool> FReport{false};
  std::thread FWatcher;
};

}  // namespace Dorvane
