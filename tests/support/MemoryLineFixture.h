#pragma once
// The engine's fixture on an in-memory line: no pseudo-terminal, no pacing. The connection works on
// side A of a wire; a scripted device plays side B through a peer with the same calls as a virtual
// line's (TLinePeer), so that a script runs on either.

#include <memory>
#include <thread>

#include "EngineFixture.h"
#include "engine/ConnectionEngine.h"
#include "engine/MemoryLine.h"

namespace QuorvelTest {

class TMemoryPeer {
 public:
  explicit TMemoryPeer(std::shared_ptr<Quorvel::TMemoryWire> Wire) : FEnd(std::move(Wire), Quorvel::TMemoryLine::SideB) {}

  bool Write(const TFrameData& Bytes) {
    return FEnd.WriteFrame(Bytes.data(), static_cast<Quorvel::Cardinal>(Bytes.size()), Quorvel::Infinite);
  }
  // Writes the bursts with a silence of Gap between them; bytes past the last burst go last.
  bool WriteBursts(const TFrameData& Bytes, const std::vector<std::size_t>& Sizes, std::chrono::milliseconds Gap) {
    std::size_t At = 0;
    for (const std::size_t Size : Sizes) {
      if (At > 0) std::this_thread::sleep_for(Gap);
      const std::size_t Count = std::min(Size, Bytes.size() - At);
      if (!Write(TFrameData(Bytes.begin() + static_cast<long>(At), Bytes.begin() + static_cast<long>(At + Count))))
        return false;
      At += Count;
    }
    return At == Bytes.size() || Write(TFrameData(Bytes.begin() + static_cast<long>(At), Bytes.end()));
  }
  // The bytes of one frame: waits up to Timeout for the first byte, then takes bytes until the line
  // has been silent for Silence. Empty when nothing came.
  TFrameData ReadFrame(std::chrono::milliseconds Silence, std::chrono::milliseconds Timeout) {
    TFrameData Frame;
    for (auto Wait = Timeout; Take(Wait, Frame); Wait = Silence) {
    }
    return Frame;
  }
  void Discard() { FEnd.Purge(true, false); }

 private:
  bool Take(std::chrono::milliseconds Wait, TFrameData& Frame) {
    if (FEnd.WaitForInput(static_cast<Quorvel::Cardinal>(Wait.count()), nullptr) != Quorvel::TWaitResult::Input)
      return false;
    Quorvel::Cardinal Count = 0;
    FEnd.InputCount(Count);
    const std::size_t At = Frame.size();
    Frame.resize(At + Count);
    return FEnd.Read(Frame.data() + At, Count);
  }

  Quorvel::TMemoryLine FEnd;
};

// The wire, and side B's end, which stays open for the whole test as a virtual line's relay does.
struct TMemoryLineHolder {
  std::shared_ptr<Quorvel::TMemoryWire> Wire = std::make_shared<Quorvel::TMemoryWire>();
  TMemoryPeer Peer{Wire};
  void AttachLine(Quorvel::TModbusConnection& Connection) {
    Quorvel::TConnectionEngineAccess::SetLineFactory(
        Connection, [Wire = Wire](Quorvel::TModbusConnection&) -> std::unique_ptr<Quorvel::TLine> {
          return std::make_unique<Quorvel::TMemoryLine>(Wire, Quorvel::TMemoryLine::SideA);
        });
  }
};

using MemoryLineTest = TEngineTest<TMemoryLineHolder>;

// A script that plays the device on the fixture's peer, from what arrives after it starts.
class TMemoryDevice {
 public:
  TMemoryDevice(TMemoryPeer& Peer, std::function<void(TMemoryPeer&)> Script) {
    Peer.Discard();
    FThread = std::thread([&Peer, Script = std::move(Script)] { Script(Peer); });
  }
  ~TMemoryDevice() { Join(); }
  void Join() {
    if (FThread.joinable()) FThread.join();
  }

 private:
  std::thread FThread;
};

}  // namespace QuorvelTest
