#include "StopSignals.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <system_error>

#include <Quorvel/Messages.h>

namespace Dorvane {

TStopSignals::TStopSignals(bool Reports) {
  sigemptyset(&FSignals);
  sigaddset(&FSignals, SIGINT);
  sigaddset(&FSignals, SIGTERM);
  if (Reports) sigaddset(&FSignals, SIGUSR1);
  if (::pthread_sigmask(SIG_BLOCK, &FSignals, nullptr) != 0 || (FSignalFd = ::signalfd(-1, &FSignals, SFD_CLOEXEC)) < 0 ||
      (FQuit = ::eventfd(0, EFD_CLOEXEC)) < 0)
    throw std::system_error(errno, std::generic_category(), "signalfd");
}

TStopSignals::~TStopSignals() {
  const std::uint64_t One = 1;
  [[maybe_unused]] const ssize_t Written = ::write(FQuit, &One, sizeof One);
  if (FWatcher.joinable()) FWatcher.join();
  ::close(FSignalFd);
  ::close(FQuit);
}

void TStopSignals::Start() {
  FWatcher = std::thread([this] {
    while (!FStopped) {
      pollfd Fds[2] = {{FSignalFd, POLLIN, 0}, {FQuit, POLLIN, 0}};
      while (::poll(Fds, 2, -1) < 0 && errno == EINTR) {
      }
      if ((Fds[0].revents & POLLIN) == 0) return;  // the destructor's quit
      signalfd_siginfo Info{};
      if (::read(FSignalFd, &Info, sizeof Info) != static_cast<ssize_t>(sizeof Info)) continue;
      if (Info.ssi_signo == SIGUSR1)
        FReport = true;
      else
        FStopped = true;
      Quorvel::MainThread::Post([] {});  // only wakes the main thread
    }
  });
}

}  // namespace Dorvane
