#pragma once
/// @file
/// The diagnostics (function 8) sub-functions the client can ask for.

#include <array>
#include <cstdint>

#include <Quorvel/Types.h>

namespace Quorvel {

/// A diagnostics request; DiagnosticSubFunctions gives each one's sub-function code.
enum TDiagnosticAction : std::uint8_t {
  daReturnQueryData,
  daRestartCommunications,
  daRestartCommunicationsClearLog,
  daReturnDiagnosticRegister,
  daForceListenOnlyMode,
  daClearCounters,
  daReturnBusMessageCount,
  daReturnBusCommErrorCount,
  daReturnBusExceptionErrorCount,
  daReturnServerMessageCount,
  daReturnServerNoResponseCount,
  daReturnServerNAKCount,
  daReturnServerBusyCount,
  daReturnBusCharOverrunCount,
  daClearOverrunCounter
};

/// Sub-function 1 serves two actions; the data word tells them apart (FF00h clears the log).
inline constexpr std::array<Word, 15> DiagnosticSubFunctions = {0, 1, 1, 2, 4, 10, 11, 12, 13, 14, 15, 16, 17, 18, 20};

/// The data word a request of this action carries. The query-data test sends a pattern of both
/// bit values in both bytes, which the server must echo.
inline constexpr Word QueryDataPattern = 0xA55A;
/// The data word that a request of Action carries.
constexpr Word DiagnosticDataWord(TDiagnosticAction Action) noexcept {
  switch (Action) {
    case daReturnQueryData: return QueryDataPattern;
    case daRestartCommunicationsClearLog: return 0xFF00;
    default: return 0x0000;
  }
}

/// Actions whose reply echoes the request's data word; every other action returns a value there.
constexpr bool DiagnosticEchoesData(TDiagnosticAction Action) noexcept {
  return Action == daReturnQueryData || Action == daRestartCommunications ||
         Action == daRestartCommunicationsClearLog || Action == daClearCounters || Action == daClearOverrunCounter;
}

}  // namespace Quorvel
