#include "VirtualBus.h"

#include "LineRelay.h"

namespace Quorvel::Testing {

TVirtualBus::TVirtualBus(std::size_t Stations, Cardinal BaudRate, Cardinal BitsPerCharacter)
    : Relay_(std::make_unique<TLineRelay>(Stations, BaudRate, BitsPerCharacter)) {}

TVirtualBus::~TVirtualBus() = default;

std::size_t TVirtualBus::Stations() const { return Relay_->Stations(); }
const std::string& TVirtualBus::Port(std::size_t Station) const { return Relay_->Path(Station); }
void TVirtualBus::SetEcho(std::size_t Station, bool On) { Relay_->SetEcho(Station, On); }

void TVirtualBus::SetFaults(std::size_t Station, const TLineFaults& Faults, unsigned Seed) {
  Relay_->SetFaults(Station, Faults, Seed);
}

TLineFaultCounts TVirtualBus::FaultCounts(std::size_t Station) const { return Relay_->FaultCounts(Station); }

bool TVirtualBus::WaitForOpen(std::size_t Station, std::chrono::milliseconds Timeout) {
  return Relay_->WaitForOpeners(Station, true, Timeout);
}

}  // namespace Quorvel::Testing
