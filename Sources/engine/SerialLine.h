#pragma once
// The line over a local serial port: the engine's line as the operating system's serial port
// offers it (platform/SerialPort.h).

#include <atomic>
#include <memory>
#include <mutex>
#include <string>

#include <Quorvel/HookHandle.h>
#include "engine/Line.h"
#include "platform/SerialPort.h"

namespace Quorvel {

class TSerialLine final : public TLine {
 public:
  // Opens PortName, or takes over Hooked (never closed here) when PortName is empty and Hooked is
  // a handle, and prepares it: driver queues of QueueSize bytes each way, reads that return at once,
  // no port events. Raises EQuorvelError "Could not open serial port", or the message of the step
  // that failed, leaving nothing open.
  static std::unique_ptr<TSerialLine> Open(const std::string& PortName, Cardinal QueueSize);
  static std::unique_ptr<TSerialLine> Attach(THookHandle Hooked, Cardinal QueueSize);

  bool ApplySettings(const Platform::TLineSettings& Settings) noexcept override;
  TWaitResult WaitForInput(Cardinal TimeoutMs, Platform::TEventObject* Stop) noexcept override;
  TWaitResult WaitForSignal(Platform::TEventObject& Wake, Cardinal TimeoutMs) noexcept override;
  bool InputCount(Cardinal& Count) noexcept override;
  bool Read(Byte* Dest, Cardinal Count) noexcept override;
  bool TakeLineErrors() noexcept override;
  bool WriteFrame(const Byte* Data, Cardinal Length, Cardinal TimeoutMs) noexcept override;
  void Purge(bool Input, bool Output) noexcept override;

 private:
  void Prepare(Cardinal QueueSize);

  Platform::TSerialPort FPort;
  // Held by the writer for a whole frame and by ApplySettings, so that new settings reach the port
  // between two frames, never in the middle of one (a rate changed, or RTS lowered under the writer).
  std::mutex FFrameLock;
  // Written by ApplySettings, read by the worker's writer.
  std::atomic<bool> FSwitchRts{false};
};

}  // namespace Quorvel
