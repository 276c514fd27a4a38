#pragma once
// A virtual RS-485 bus for tests: a pseudo-terminal port per station on one paced wire, the
// relay of the virtual serial line with more than two ends. Every byte one station writes reaches
// every other station (and the writer itself, with echo). Two stations that write at once are both
// delivered, interleaved, as a collision garbles both frames on a real bus.

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>

#include <Quorvel/Types.h>
#include "VirtualSerialLine.h"

namespace Quorvel::Testing {

class TLineRelay;

class TVirtualBus {
 public:
  explicit TVirtualBus(std::size_t Stations, Cardinal BaudRate = 19200, Cardinal BitsPerCharacter = 10);
  ~TVirtualBus();
  TVirtualBus(const TVirtualBus&) = delete;
  TVirtualBus& operator=(const TVirtualBus&) = delete;

  std::size_t Stations() const;
  // A device path that any program can open as a serial port.
  const std::string& Port(std::size_t Station) const;
  void SetEcho(std::size_t Station, bool On);
  // From now on, the bytes that Station sends meet Faults, drawn from Seed; every receiver sees the
  // same damaged byte.
  void SetFaults(std::size_t Station, const TLineFaults& Faults, unsigned Seed);
  TLineFaultCounts FaultCounts(std::size_t Station) const;
  // True once someone other than the relay has Station's port open.
  bool WaitForOpen(std::size_t Station, std::chrono::milliseconds Timeout);

 private:
  std::unique_ptr<TLineRelay> Relay_;
};

}  // namespace Quorvel::Testing
