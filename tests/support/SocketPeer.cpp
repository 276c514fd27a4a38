#include "SocketPeer.h"

#include <stdexcept>
#include <thread>

#include "engine/ConnectionEngine.h"
#include "engine/ModbusTcpServerLine.h"
#include "engine/TcpLine.h"

namespace Quorvel::Testing {

namespace {
using TClock = std::chrono::steady_clock;

Cardinal Ms(std::chrono::milliseconds Duration) {
  return Duration.count() <= 0 ? 0 : static_cast<Cardinal>(Duration.count());
}
}  // namespace

TDeviceServerEnd::TDeviceServerEnd() {
  if (!Listener_.Listen("127.0.0.1", 0, 4)) throw std::runtime_error("cannot listen on 127.0.0.1");
}

Word FreeTcpPort() {
  TDeviceServerEnd Probe;
  return Probe.Port();
}

Word ListeningPortOf(TModbusConnection& Connection) {
  TLine* Line = TConnectionEngineAccess::Engine(Connection).Line.get();
  if (auto* Server = dynamic_cast<TModbusTcpServerLine*>(Line)) return Server->ListeningPort();
  auto* Tcp = dynamic_cast<TTcpLine*>(Line);
  return Tcp != nullptr ? Tcp->ListeningPort() : 0;
}

TSocketPeer::TSocketPeer(TDeviceServerEnd& End) : End_(&End) {}

TSocketPeer::TSocketPeer(Word Port) {
  if (!Socket_.Connect("127.0.0.1", Port, 3000)) throw std::runtime_error("nothing accepts at 127.0.0.1");
}

bool TSocketPeer::Connected(std::chrono::milliseconds Timeout) {
  if (Socket_.IsOpen()) return true;
  if (End_ == nullptr) return false;
  return End_->Listener().WaitForPeer(Ms(Timeout), nullptr) == Platform::TWaitResult::Input &&
         End_->Listener().Accept(Socket_);
}

bool TSocketPeer::Write(const TFrameData& Bytes) {
  return Connected(std::chrono::seconds(5)) &&
         Socket_.Write(Bytes.data(), static_cast<Cardinal>(Bytes.size()), 5000);
}

bool TSocketPeer::WriteBursts(const TFrameData& Bytes, const std::vector<std::size_t>& Sizes,
                              std::chrono::milliseconds Gap) {
  std::size_t Done = 0;
  for (const std::size_t Size : Sizes) {
    if (Done > 0) std::this_thread::sleep_for(Gap);
    const TFrameData Burst(Bytes.begin() + static_cast<std::ptrdiff_t>(Done),
                           Bytes.begin() + static_cast<std::ptrdiff_t>(std::min(Bytes.size(), Done + Size)));
    if (!Write(Burst)) return false;
    Done += Burst.size();
  }
  return Done == Bytes.size() || Write(TFrameData(Bytes.begin() + static_cast<std::ptrdiff_t>(Done), Bytes.end()));
}

bool TSocketPeer::ReadWaiting(TFrameData& Bytes) {
  Byte Chunk[512];
  Cardinal Got = 0;
  if (!Socket_.ReadSome(Chunk, sizeof Chunk, Got) || Got == 0) return false;
  Bytes.insert(Bytes.end(), Chunk, Chunk + Got);
  return true;
}

TFrameData TSocketPeer::ReadFrame(std::chrono::milliseconds Silence, std::chrono::milliseconds Timeout) {
  TFrameData Frame;
  const auto Start = TClock::now();
  if (!Connected(Timeout)) return Frame;
  const auto Left = Timeout - std::chrono::duration_cast<std::chrono::milliseconds>(TClock::now() - Start);
  if (Socket_.WaitForInput(Ms(Left), &Never_) != Platform::TWaitResult::Input || !ReadWaiting(Frame)) return Frame;
  // A line that never falls silent must not hang the test.
  const auto GiveUp = TClock::now() + Timeout + std::chrono::seconds(10);
  while (TClock::now() < GiveUp && Socket_.WaitForInput(Ms(Silence), &Never_) == Platform::TWaitResult::Input &&
         ReadWaiting(Frame)) {
  }
  return Frame;
}

TFrameData TSocketPeer::ReadFor(std::chrono::milliseconds Duration) {
  TFrameData Bytes;
  const auto Until = TClock::now() + Duration;
  if (!Connected(Duration)) return Bytes;
  for (auto Now = TClock::now(); Now < Until; Now = TClock::now()) {
    const auto Left = std::chrono::duration_cast<std::chrono::milliseconds>(Until - Now);
    const auto Result = Socket_.WaitForInput(Ms(Left), &Never_);
    if (Result == Platform::TWaitResult::Timeout) continue;
    if (Result != Platform::TWaitResult::Input || !ReadWaiting(Bytes)) break;
  }
  return Bytes;
}

bool TSocketPeer::WaitForHangUp(std::chrono::milliseconds Timeout) {
  if (!Connected(Timeout)) return false;
  Platform::TEventObject Wake(true);
  return Socket_.WaitForSignal(Wake, Ms(Timeout)) == Platform::TWaitResult::Failed;
}

void TSocketPeer::Close() { Socket_.Close(); }

}  // namespace Quorvel::Testing
