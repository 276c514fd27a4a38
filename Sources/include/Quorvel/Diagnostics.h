#pragma once
/// @file
/// The serial line diagnostics: the sub-functions of function 8 that the client can ask for, and
/// the events of a server's communication event log (function 12).

#include <array>
#include <cstdint>
#include <vector>

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

/// The events of a server's communication event log, the most recent first: one byte per request
/// it received (bit 7 set) or finished (bit 6 set, bit 7 clear), 0 for a restart of its
/// communications, 4 for its entering listen-only mode.
using TCommEvents = std::vector<Byte>;

/// The bits of a communication event. A receive event: CommEventReceived, with
/// CommEventBroadcast for a broadcast and CommEventListenOnly while the server listens only. A
/// send event: CommEventSent, with the kind of exception reply sent and CommEventListenOnly.
///@{
inline constexpr Byte CommEventReceived = 0x80;
inline constexpr Byte CommEventBroadcast = 0x40;
inline constexpr Byte CommEventSent = 0x40;
inline constexpr Byte CommEventListenOnly = 0x20;
inline constexpr Byte CommEventReadException = 0x01;   ///< exception 1 to 3 sent
inline constexpr Byte CommEventAbortException = 0x02;  ///< exception 4 sent
inline constexpr Byte CommEventBusyException = 0x04;   ///< exception 5 or 6 sent
inline constexpr Byte CommEventNakException = 0x08;    ///< exception 7 sent
inline constexpr Byte CommEventRestart = 0x00;
inline constexpr Byte CommEventEnteredListenOnly = 0x04;
///@}

}  // namespace Quorvel
