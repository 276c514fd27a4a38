#include "server/ServerDiagnostics.h"

#include <Quorvel/Protocol.h>

namespace Quorvel {

namespace {

Word Low16(std::uint64_t Count) noexcept { return static_cast<Word>(Count & 0xFFFF); }

// The kind of exception reply a send event records.
Byte ExceptionEventBits(Byte Code) noexcept {
  if (Code <= Exceptions::IllegalDataValue) return CommEventReadException;
  if (Code == Exceptions::ServerDeviceFailure) return CommEventAbortException;
  if (Code <= Exceptions::ServerDeviceBusy) return CommEventBusyException;
  return Code == Exceptions::NegativeAcknowledge ? CommEventNakException : 0;
}

}  // namespace

void TServerDiagnostics::Received(bool Broadcast) noexcept {
  ++FServerMessages;
  Log(static_cast<Byte>(CommEventReceived | (Broadcast ? CommEventBroadcast : 0) |
                        (FListenOnly ? CommEventListenOnly : 0)));
}

void TServerDiagnostics::Ignored() noexcept { ++FNoResponses; }

void TServerDiagnostics::Failed() noexcept {
  FScheduled = dcNone;
  ++FNoResponses;
  Log(static_cast<Byte>(CommEventSent | (FListenOnly ? CommEventListenOnly : 0)));
}

// A broadcast's reply is built at times but never sent. The event counter counts the requests
// carried out without an exception, apart from the requests that read it.
bool TServerDiagnostics::Answered(const TModbusBuffer& Reply, bool Broadcast, Byte Function, bool CarriedOut) noexcept {
  const bool Exception = Reply.Size() > 2 && Reply.Memory()[1] > Functions::ExceptionFlag;
  if (CarriedOut && !Exception && Function != Functions::GetCommEventCounter) ++FEventCount;
  if (Broadcast || Reply.Size() == 0) {
    ++FNoResponses;
    Log(static_cast<Byte>(CommEventSent | (FListenOnly ? CommEventListenOnly : 0)));
  } else {
    Sent(Reply);
  }
  return ApplyScheduled();
}

void TServerDiagnostics::Sent(const TModbusBuffer& Reply) noexcept {
  Byte Event = static_cast<Byte>(CommEventSent | (FListenOnly ? CommEventListenOnly : 0));
  if (Reply.Size() > 2 && Reply.Memory()[1] > Functions::ExceptionFlag) {
    const Byte Code = Reply.Memory()[2];
    ++FExceptions;
    if (Code == Exceptions::NegativeAcknowledge) ++FNaks;
    if (Code == Exceptions::ServerDeviceBusy) ++FBusy;
    Event |= ExceptionEventBits(Code);
  }
  Log(Event);
}

bool TServerDiagnostics::ApplyScheduled() noexcept {
  const TDiagnosticChange Change = FScheduled;
  FScheduled = dcNone;
  switch (Change) {
    case dcListenOnly:
      FListenOnly = true;
      Log(CommEventEnteredListenOnly);
      return false;
    case dcRestartClearingLog:
      FLogCount = 0;
      FLogNext = 0;
      [[fallthrough]];
    case dcRestart:
      FListenOnly = false;
      Log(CommEventRestart);
      [[fallthrough]];
    case dcClearCounters:
      FEventCount = 0;
      FServerMessages = FNoResponses = FExceptions = FNaks = FBusy = 0;
      return true;
    case dcNone:
      break;
  }
  return false;
}

Word TServerDiagnostics::BusMessages(const TLineStatistics& Line) noexcept {
  return Low16(Line.FramesReceived - Line.CheckFailures - Line.MalformedFrames);
}

Word TServerDiagnostics::Counter(Word SubFunction, const TLineStatistics& Line) const noexcept {
  switch (SubFunction) {
    case DiagnosticSubFunctions[daReturnBusMessageCount]: return BusMessages(Line);
    case DiagnosticSubFunctions[daReturnBusCommErrorCount]: return Low16(Line.CheckFailures + Line.MalformedFrames);
    case DiagnosticSubFunctions[daReturnBusExceptionErrorCount]: return Low16(FExceptions);
    case DiagnosticSubFunctions[daReturnServerMessageCount]: return Low16(FServerMessages);
    case DiagnosticSubFunctions[daReturnServerNoResponseCount]: return Low16(FNoResponses);
    case DiagnosticSubFunctions[daReturnServerNAKCount]: return Low16(FNaks);
    case DiagnosticSubFunctions[daReturnServerBusyCount]: return Low16(FBusy);
    // The character overruns: the line's errors do not tell an overrun from a framing or parity error.
    default: return 0;
  }
}

void TServerDiagnostics::Log(Byte Event) noexcept {
  FLog[FLogNext] = Event;
  FLogNext = (FLogNext + 1) % LogSize;
  if (FLogCount < LogSize) ++FLogCount;
}

TCommEvents TServerDiagnostics::Events() const {
  TCommEvents Events;
  Events.reserve(FLogCount);
  for (std::size_t I = 1; I <= FLogCount; ++I) Events.push_back(FLog[(FLogNext + LogSize - I) % LogSize]);
  return Events;
}

}  // namespace Quorvel
