#include "Gateway.h"

#include <optional>
#include <sstream>

#include <Quorvel/Messages.h>
#include <Quorvel/Protocol.h>

namespace Dorvane {

using namespace Quorvel;

namespace {

constexpr Byte MaxSerialAddress = 247;

TFrameData ExceptionPdu(Byte Function, Byte Code) { return {static_cast<Byte>(Function | Functions::ExceptionFlag), Code}; }

std::string Describe(const TLineStatistics& S) {
  std::ostringstream Text;
  Text << S.FramesSent << " sent, " << S.FramesReceived << " received, " << S.Timeouts << " time-outs, "
       << S.Retries << " retries, " << S.CheckFailures << " check failures, " << S.MalformedFrames << " malformed, "
       << S.ExceptionReplies << " exception replies, " << S.StaleReplies << " stale";
  return Text.str();
}

}  // namespace

TGateway::TGateway(TModbusConnection& Tcp, TModbusConnection& Serial) : FTcp(Tcp), FSerial(Serial) {
  // Every unit id is the line's to answer: the gateway serves them all, and hands each request on.
  FServer.SetServerAddress(1);
  std::vector<Byte> Others;
  for (int Unit = 2; Unit <= 255; ++Unit) Others.push_back(static_cast<Byte>(Unit));
  FServer.SetOtherAddresses(std::move(Others));
  for (int Function = 1; Function <= Functions::LastFunction; ++Function)
    FServer.SetFunctionHandler(static_cast<Byte>(Function), [this](TModbusServer&, const TTransactionInfo& Info,
                                                                   const TFrameData& Pdu) { return Forward(Info, Pdu); });
  FServer.SetConnection(&FTcp);
  FClient.SetConnection(&FSerial);
  FSerial.SetOnPortLost([this](TModbusConnection&) { FLineLost = true; });
}

TGateway::~TGateway() { FSerial.SetOnPortLost(nullptr); }

// Runs on the main thread while the TCP side's worker waits for the reply, so the next request,
// from whichever client, is taken only once this one is done: the line carries them one at a
// time in their order of arrival. The serial side's result is pumped for here.
TFrameData TGateway::Forward(const TTransactionInfo& Info, const TFrameData& Pdu) {
  ++FCounts.Requests;
  const Byte Function = Pdu.empty() ? 0 : Pdu[0];
  if (Info.ServerAddress == 0) {
    ++FCounts.Broadcasts;
    if (!FLineLost && FSerial.Active()) Broadcast(Pdu);
    return {};
  }
  // 248 to 255 are no station's address on a serial line: there is no path to such a unit.
  if (FLineLost || !FSerial.Active() || Info.ServerAddress > MaxSerialAddress) {
    ++FCounts.LineLost;
    return ExceptionPdu(Function, GatewayPathUnavailable);
  }
  std::optional<TFrameData> Reply;
  FClient.SetServerAddress(Info.ServerAddress);
  FClient.SetOnRawReply([&Reply](TModbusClient&, const TTransactionInfo& Done, const TFrameData&, const TFrameData& ReplyPdu) {
    Reply = Done.ReplyStatus == rsSuccess || Done.ReplyStatus == rsExceptionReply ? ReplyPdu : TFrameData{};
  });
  FClient.SendRawRequest(Pdu);
  // Every attempt ends within its own time, so the transaction always ends; the bound is only
  // a guard against waiting for ever on a result that closing dropped.
  const Cardinal Attempt = FSerial.SendTimeout() + FSerial.ReceiveTimeout() + FSerial.RefetchDelay();
  MainThread::ProcessMessagesUntil([&Reply] { return Reply.has_value(); }, Attempt * FSerial.MaxRetries() + 5000);
  FClient.SetOnRawReply(nullptr);
  if (Reply && !Reply->empty()) {
    ++FCounts.Answered;
    return *Reply;
  }
  if (FLineLost) {
    ++FCounts.LineLost;
    return ExceptionPdu(Function, GatewayPathUnavailable);
  }
  ++FCounts.NoReply;
  return ExceptionPdu(Function, GatewayTargetFailedToRespond);
}

// A client never broadcasts, so the request is queued on the connection as it stands; nobody is
// told of its end.
void TGateway::Broadcast(const TFrameData& Pdu) {
  auto Transaction = std::make_unique<TModbusTransaction>(FSerial.FrameBufferSize());
  Transaction->Info.ServerAddress = 0;
  FSerial.WriteAddress(0, Transaction->Request);
  for (const Byte B : Pdu) Transaction->Request.WriteByte(B);
  FSerial.AppendChecksum(Transaction->Request);
  FSerial.SubmitTransaction(Transaction);
}

bool TGateway::Reconnect() {
  try {
    FSerial.Close();
    FSerial.Open();
  } catch (...) {
    return false;
  }
  FLineLost = false;
  return true;
}

std::string TGateway::Report() const {
  std::ostringstream Text;
  Text << "Requests: " << FCounts.Requests << " (" << FCounts.Answered << " answered, " << FCounts.Broadcasts
       << " broadcasts, " << FCounts.NoReply << " without reply, " << FCounts.LineLost << " while the line was lost)\n"
       << "TCP side: " << Describe(FTcp.Statistics()) << "\n"
       << "Serial line " << FSerial.Port() << ": " << Describe(FSerial.Statistics()) << (FLineLost ? " (lost)" : "")
       << "\n";
  return Text.str();
}

}  // namespace Dorvane
