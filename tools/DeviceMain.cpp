// dorvane-device: the field display that the utility talks to, simulated on the library's server
// side, for running the utility without the hardware.

#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <exception>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <Quorvel/Application.h>
#include <Quorvel/Connection.h>
#include <Quorvel/Messages.h>
#include <Quorvel/Version.h>
#include "DeviceOptions.h"
#include "DisplayDevice.h"
#include "PseudoTerminalPair.h"

using namespace Quorvel;
using namespace Dorvane;

namespace {

// SIGINT and SIGTERM arrive on a descriptor, read by a thread of their own that wakes the main
// thread through a posted message: the main thread sleeps in the library's message wait, which no
// signal handler may touch.
class TStopSignals {
 public:
  // Call before any other thread starts: the threads inherit the blocked signals, so the signals
  // reach the descriptor and nobody else.
  TStopSignals() {
    sigemptyset(&FSignals);
    sigaddset(&FSignals, SIGINT);
    sigaddset(&FSignals, SIGTERM);
    if (::pthread_sigmask(SIG_BLOCK, &FSignals, nullptr) != 0 ||
        (FSignalFd = ::signalfd(-1, &FSignals, SFD_CLOEXEC)) < 0 ||
        (FQuit = ::eventfd(0, EFD_CLOEXEC)) < 0)
      throw std::system_error(errno, std::generic_category(), "signalfd");
  }
  ~TStopSignals() {
    const std::uint64_t One = 1;
    [[maybe_unused]] const ssize_t Written = ::write(FQuit, &One, sizeof One);
    if (FWatcher.joinable()) FWatcher.join();
    ::close(FSignalFd);
    ::close(FQuit);
  }

  void Start() {
    FWatcher = std::thread([this] {
      pollfd Fds[2] = {{FSignalFd, POLLIN, 0}, {FQuit, POLLIN, 0}};
      while (::poll(Fds, 2, -1) < 0 && errno == EINTR) {
      }
      if (Fds[0].revents & POLLIN) {
        signalfd_siginfo Info{};
        [[maybe_unused]] const ssize_t Read = ::read(FSignalFd, &Info, sizeof Info);
        FStopped = true;
        MainThread::Post([] {});  // only wakes the main thread
      }
    });
  }

  bool Stopped() const { return FStopped; }

 private:
  sigset_t FSignals{};
  int FSignalFd = -1;
  int FQuit = -1;
  std::atomic<bool> FStopped{false};
  std::thread FWatcher;
};

int Run(const TDeviceOptions& Options) {
  TStopSignals Signals;
  std::optional<TPseudoTerminalPair> Line;
  std::string DevicePort = Options.Port;
  if (DevicePort.empty()) {
    Line.emplace();
    DevicePort = Line->PortB();
  }

  TModbusConnection Connection;
  Connection.SetPort(DevicePort);
  ApplyLineSettings(Options, Connection);
  TDisplayDevice Device(Connection, Options.Address);
  Device.SetOnWrite([](TDisplayDevice& Sender, Word Start, Word Count) {
    std::cout << "Registers " << Start << ".." << Start + Count - 1 << " written:\n"
              << DisplayBox(Sender.Line(1), Sender.Line(2)) << std::flush;
  });
  // Announced once the device listens, so that a request sent on reading the port is answered.
  Connection.SetOnReady([&](TModbusConnection&) {
    if (Line) std::cout << "Port: " << Line->PortA() << '\n';
    std::cout << "Simulated field device on " << DevicePort << ": server address " << int(Device.Server().ServerAddress())
              << ", holding registers " << SelectorRegister << ".." << SelectorRegister + TextRegisterCount << ", "
              << DescribeLineSettings(Options) << ". Ctrl-C stops it.\n"
              << DisplayBox(Device.Line(1), Device.Line(2)) << std::flush;
  });
  Connection.Open();

  Signals.Start();
  while (!Signals.Stopped()) {
    MainThread::WaitForMessages(Infinite);
    MainThread::ProcessMessages();
  }
  Connection.Close();
  std::cout << "Stopped.\n";
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string Program = argc > 0 ? argv[0] : "dorvane-device";
  TDeviceOptions Options;
  try {
    Options = ParseDeviceOptions(std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc));
  } catch (const EUsageError& Error) {
    std::cerr << Program << ": " << Error.what() << "\n\n" << DeviceUsage(Program);
    return 2;
  }
  if (Options.Version) {
    std::cout << "dorvane-device " << QUORVEL_VERSION_STRING << " (Quorvel library " << VersionString() << ")\n";
    return 0;
  }
  if (Options.Help) {
    std::cout << DeviceUsage(Program);
    return 0;
  }
  try {
    return Run(Options);
  } catch (...) {
    Application::HandleException(std::current_exception());
    return 1;
  }
}
