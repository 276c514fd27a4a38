#pragma once
// What a server keeps for the serial line diagnostics (functions 8, 11 and 12): its listen-only
// mode, its communication event counter and event log, and its counts of the requests addressed
// to it. The bus counts (all messages on the line, those with a bad check) are the line's own
// statistics; the server asks its connection for them.

#include <array>
#include <cstdint>

#include <Quorvel/Diagnostics.h>
#include <Quorvel/LineStatistics.h>
#include <Quorvel/ModbusBuffer.h>
#include <Quorvel/Types.h>

namespace Quorvel {

// What a diagnostics request asks the server to do once the request itself has been counted, so
// that counters read as cleared right after the request that cleared them.
enum TDiagnosticChange : std::uint8_t { dcNone, dcClearCounters, dcRestart, dcRestartClearingLog, dcListenOnly };

class TServerDiagnostics {
 public:
  static constexpr std::size_t LogSize = 64;

  bool ListenOnly() const noexcept { return FListenOnly; }

  // A request addressed to the server, or broadcast, has arrived.
  void Received(bool Broadcast) noexcept;
  // It was not acted on: the server listens only.
  void Ignored() noexcept;
  // It was answered with Reply (empty: none), and carried out unless refused. Returns whether the
  // request cleared the counters, the line's included.
  bool Answered(const TModbusBuffer& Reply, bool Broadcast, Byte Function, bool CarriedOut) noexcept;
  // A data operation failed: no reply.
  void Failed() noexcept;

  void Schedule(TDiagnosticChange Change) noexcept { FScheduled = Change; }

  // The counter that diagnostics sub-function 11 to 18 returns, in 16 bits as a device keeps it.
  Word Counter(Word SubFunction, const TLineStatistics& Line) const noexcept;
  Word EventCount() const noexcept { return FEventCount; }
  // The messages on the bus, as sub-function 11 counts them: every frame with a good check.
  static Word BusMessages(const TLineStatistics& Line) noexcept;
  TCommEvents Events() const;

 private:
  void Log(Byte Event) noexcept;
  void Sent(const TModbusBuffer& Reply) noexcept;
  bool ApplyScheduled() noexcept;

  bool FListenOnly = false;
  TDiagnosticChange FScheduled = dcNone;
  Word FEventCount = 0;
  std::uint64_t FServerMessages = 0, FNoResponses = 0, FExceptions = 0, FNaks = 0, FBusy = 0;
  // A ring of the last LogSize events; FLogNext is where the next one goes.
  std::array<Byte, LogSize> FLog{};
  std::size_t FLogCount = 0, FLogNext = 0;
};

}  // namespace Quorvel
