#pragma once
// A virtual serial line of the device's own: two pseudo-terminals whose master sides a relay thread
// joins, so that what one opener writes to port A another reads from port B, and back. It carries
// bytes as they come, without pacing: the device needs a line, not a line simulator.
//
// The relay keeps both ports open itself. Without that, a master hangs up for good whenever its port
// has no opener (poll reports POLLHUP at once, read returns 0), and the utility could not come and go
// while the device runs.

#include <array>
#include <string>
#include <thread>

namespace Dorvane {

class TPseudoTerminalPair {
 public:
  // Throws std::system_error when the system has no pseudo-terminal to give.
  TPseudoTerminalPair();
  ~TPseudoTerminalPair();
  TPseudoTerminalPair(const TPseudoTerminalPair&) = delete;
  TPseudoTerminalPair& operator=(const TPseudoTerminalPair&) = delete;

  // Device paths that any program can open as a serial port.
  const std::string& PortA() const { return FEnds[0].Path; }
  const std::string& PortB() const { return FEnds[1].Path; }

 private:
  struct TEnd {
    int Master = -1;
    int Slave = -1;
    std::string Path;
  };

  void Relay();
  void CloseAll() noexcept;

  std::array<TEnd, 2> FEnds;
  int FStop = -1;
  std::thread FThread;
};

}  // namespace Dorvane
