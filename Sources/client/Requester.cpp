// The requester's requests: each carries its own completion (TRequestCore) through the worker, so
// that it ends exactly once, whoever gets there first: the worker with the reply, or a
// cancellation (the caller's, the requester's end, the connection's closing).

#include <Quorvel/Requester.h>

#include <stdexcept>

#include <Quorvel/Application.h>
#include <Quorvel/Connection.h>
#include <Quorvel/DisplayLine.h>
#include <Quorvel/Errors.h>
#include <Quorvel/Protocol.h>
#include "client/ReplyDecoders.h"
#include "client/RequestEncoders.h"
#include "engine/ConnectionEngine.h"
#include "engine/TransactionThread.h"
#include "runtime/MessageWindow.h"

namespace Quorvel {

namespace {

// A request's life. It ends by moving to Done, once: the move's winner reports the end.
enum TPhase : int { phUnsent, phQueued, phSending, phDone };

// Room for a binary frame of either framing (RTU's is the larger); the check is appended once the
// connection, open by then, says which.
constexpr int FrameCapacity = 256;

}  // namespace

// The requests a requester has sent and not yet ended, so that its end can cancel them. Shared
// with the requests, which leave it as they end, whether or not the requester is still there.
struct TRequestRegistry {
  std::mutex Lock;
  TRequestCore* First = nullptr;
  bool Closed = false;  // the requester is gone: nothing more is sent
};

class TRequestCore final : public TTransactionCompletion, public std::enable_shared_from_this<TRequestCore> {
 public:
  // A further exchange of the same request, made from the one that just ended, or null when the
  // request ends with it.
  using TContinuation = std::unique_ptr<TModbusTransaction> (*)(const TModbusFrameCodec& Codec, TModbusTransaction& T);

  TRequestCore(TModbusConnection& Connection, std::shared_ptr<TRequestRegistry> Registry,
               std::unique_ptr<TModbusTransaction> Transaction, TContinuation Continue)
      : FConnection(Connection), FRegistry(std::move(Registry)), FUnsent(std::move(Transaction)), FContinue(Continue) {}

  void Send(TRequestBase::TFinish Finish);
  bool Cancel() noexcept { return EndFrom(phQueued) || EndFrom(phSending); }
  bool Sent() const noexcept { return FPhase.load(std::memory_order_acquire) != phUnsent; }

  bool Start() noexcept override {
    int Expected = phQueued;
    return FPhase.compare_exchange_strong(Expected, phSending, std::memory_order_acq_rel);
  }
  void Complete(std::unique_ptr<TModbusTransaction> Transaction) noexcept override;
  void Abandon() noexcept override { Cancel(); }

  // Under the registry's lock.
  TRequestCore* Next = nullptr;
  TRequestCore* Previous = nullptr;

 private:
  bool Offer(std::unique_ptr<TModbusTransaction>& Transaction, bool Numbered);
  bool EndFrom(int From) noexcept;
  void Report(const TModbusFrameCodec* Codec, TModbusTransaction* Transaction) noexcept;
  void Link();
  void Unlink() noexcept;

  TModbusConnection& FConnection;
  const std::shared_ptr<TRequestRegistry> FRegistry;
  std::unique_ptr<TModbusTransaction> FUnsent;
  const TContinuation FContinue;
  std::atomic<int> FPhase{phUnsent};
  // Written before the request is queued, read by whoever ends it.
  TRequestBase::TFinish FFinish;
  TTransactionInfo FInfo;
  bool FLinked = false;  // under the registry's lock
};

// Completes the frame and queues it under the engine's lock, so that the framing cannot change and
// the worker cannot go meanwhile. The phase moves to Queued before the worker can see the request.
bool TRequestCore::Offer(std::unique_ptr<TModbusTransaction>& Transaction, bool Numbered) {
  auto& Engine = TConnectionEngineAccess::Engine(FConnection);
  return Engine.Offer(Transaction, [&](TModbusTransaction& T) {
    if (!Numbered) {
      FConnection.AppendChecksum(T.Request);
      T.Info.TransactionID = FConnection.NextTransactionID();
      FInfo = T.Info;
    }
    T.Completion = shared_from_this();
    FPhase.store(phQueued, std::memory_order_release);
  });
}

void TRequestCore::Send(TRequestBase::TFinish Finish) {
  if (!FUnsent) throw std::logic_error("A request is sent once");
  Link();
  FFinish = std::move(Finish);
  // The transaction stays ours until the engine has it: refused, it can be sent later.
  if (!Offer(FUnsent, false)) {
    Unlink();
    FFinish = nullptr;
    RaiseError(Messages::NoConnection);
  }
}

void TRequestCore::Complete(std::unique_ptr<TModbusTransaction> Transaction) noexcept {
  // Taken off first: freeing the transaction must not report it abandoned.
  Transaction->Completion.reset();
  if (FContinue != nullptr) {
    std::unique_ptr<TModbusTransaction> Next;
    try {
      Next = FContinue(FConnection, *Transaction);
    } catch (...) {
      Transaction->Info.ReplyStatus = rsInvalidReply;
    }
    if (Next) {
      int Expected = phSending;
      // Cancelled meanwhile: the end has been reported, and nothing more goes out.
      if (!FPhase.compare_exchange_strong(Expected, phQueued, std::memory_order_acq_rel)) return;
      bool Queued = false;
      try {
        Queued = Offer(Next, true);
      } catch (...) {
      }
      // Refused (the connection is closing): ends as closing ends every request.
      if (!Queued) EndFrom(phQueued);
      return;
    }
  }
  int Expected = phSending;
  if (!FPhase.compare_exchange_strong(Expected, phDone, std::memory_order_acq_rel)) return;
  Report(&FConnection, Transaction.get());
}

bool TRequestCore::EndFrom(int From) noexcept {
  if (!FPhase.compare_exchange_strong(From, phDone, std::memory_order_acq_rel)) return false;
  Report(nullptr, nullptr);
  return true;
}

// The one report of the request's end. The core may be freed by what Finish does (a coroutine that
// resumes and lets its request go), so it is kept alive until Report returns.
void TRequestCore::Report(const TModbusFrameCodec* Codec, TModbusTransaction* Transaction) noexcept {
  const std::shared_ptr<TRequestCore> Self = weak_from_this().lock();
  Unlink();
  const TRequestBase::TFinish Finish = std::move(FFinish);
  FFinish = nullptr;
  try {
    if (Finish) Finish(Codec, Transaction, FInfo);
  } catch (...) {
    // A worker-side callback that throws: shown on the main thread, and the worker goes on.
    try {
      MainThread::Detail::PostAlways([Failed = std::current_exception()] { std::rethrow_exception(Failed); });
    } catch (...) {
    }
  }
}

void TRequestCore::Link() {
  std::lock_guard Lock(FRegistry->Lock);
  if (FRegistry->Closed) throw std::logic_error("The requester of this request is gone");
  Next = FRegistry->First;
  Previous = nullptr;
  if (Next != nullptr) Next->Previous = this;
  FRegistry->First = this;
  FLinked = true;
}

void TRequestCore::Unlink() noexcept {
  std::lock_guard Lock(FRegistry->Lock);
  if (!FLinked) return;
  if (Previous != nullptr)
    Previous->Next = Next;
  else
    FRegistry->First = Next;
  if (Next != nullptr) Next->Previous = Previous;
  Next = Previous = nullptr;
  FLinked = false;
}

// ---- TCompletionSignal ----

TCompletionSignal::TCompletionSignal() : FOnMainThread(MainThread::IsMainThread()) {}

void TCompletionSignal::Notify() noexcept {
  const bool WakeMainThread = FOnMainThread;
  {
    std::lock_guard Lock(FLock);
    FNotified = true;
    FDone.notify_all();
  }
  // Wakes a main thread that waits below; it may have returned already, and this touches nothing
  // of the signal.
  if (WakeMainThread) MainThread::Detail::NotifyMainThread();
}

// The main thread waits serving synchronous calls; it then takes the lock once, so that it returns
// (and the signal goes) only after Notify has left it.
void TCompletionSignal::Wait() {
  if (FOnMainThread) {
    MainThread::Detail::ServeSynchronousCallsUntil([this] { return FNotified.load(); });
    std::lock_guard Lock(FLock);
    return;
  }
  std::unique_lock Lock(FLock);
  FDone.wait(Lock, [this] { return FNotified.load(); });
}

// ---- TRequestBase ----

TRequestBase::TRequestBase(std::shared_ptr<TRequestCore> Core) noexcept : FCore(std::move(Core)) {}

bool TRequestBase::Cancel() noexcept { return FCore && FCore->Cancel(); }

bool TRequestBase::Sent() const noexcept { return FCore && FCore->Sent(); }

// Nothing of this object is touched once the request is queued: it may end, and what ends it may
// free this object, before Send returns.
void TRequestBase::Start(TFinish Finish) {
  const std::shared_ptr<TRequestCore> Core = FCore;
  Core->Send(std::move(Finish));
}

void TRequestBase::CheckMayBlock() {
  if (TTransactionThread::OnAWorker())
    throw std::logic_error("A blocking request cannot wait on a connection's worker thread");
  if (MainThread::Detail::IsPumping())
    throw std::logic_error("A blocking request cannot wait on the thread that pumps the main thread's queue");
}

void TRequestBase::PostToMainThread(std::function<void()> Call) { MainThread::Detail::PostAlways(std::move(Call)); }

// ---- TRequester ----

namespace {

// The reply values of each function, as TReply carries them.
TBitValues BitsOf(const TModbusFrameCodec& C, TModbusTransaction& T) { return DecodeBitsReadReply(C, T).Values; }
TRegValues RegistersOf(const TModbusFrameCodec& C, TModbusTransaction& T) {
  return DecodeRegistersReadReply(C, T).Values;
}
bool CoilOf(const TModbusFrameCodec& C, TModbusTransaction& T) { return DecodeSingleWriteReply(C, T).Value == 0xFF00; }
Word RegisterOf(const TModbusFrameCodec& C, TModbusTransaction& T) { return DecodeSingleWriteReply(C, T).Value; }
Word DiagnosticResultOf(const TModbusFrameCodec& C, TModbusTransaction& T) { return DecodeDiagnosticsReply(C, T).Result; }
TBitValues CoilsWrittenOf(const TModbusFrameCodec& C, TModbusTransaction& T) {
  return DecodeMultipleCoilsWriteReply(C, T).Values;
}
TRegValues RegistersWrittenOf(const TModbusFrameCodec& C, TModbusTransaction& T) {
  return DecodeMultipleRegistersWriteReply(C, T).Values;
}
TServerIdentificationData ServerIdOf(const TModbusFrameCodec& C, TModbusTransaction& T) {
  return DecodeServerIdentificationReply(C, T).Data;
}
TMaskWriteValues MasksOf(const TModbusFrameCodec& C, TModbusTransaction& T) { return DecodeMaskWriteReply(C, T).Masks; }
TRegValues RegistersReadWrittenOf(const TModbusFrameCodec& C, TModbusTransaction& T) {
  return DecodeReadWriteRegistersReply(C, T).ReadValues;
}
TRegValues FifoOf(const TModbusFrameCodec& C, TModbusTransaction& T) { return DecodeFifoQueueReply(C, T).Values; }
TFrameData RawReplyOf(const TModbusFrameCodec& C, TModbusTransaction& T) { return DecodeRawReply(C, T).ReplyPdu; }

// A read device identification's last exchange leaves what every exchange gathered in the
// transaction's carry, for its decoder.
struct TIdentificationEnd : TTransactionCarry {
  TDeviceIdentificationValues Values;
};

std::unique_ptr<TModbusTransaction> FurtherObjects(const TModbusFrameCodec& C, TModbusTransaction& T) {
  TDeviceIdentificationProgress P = GatherDeviceIdentification(C, T);
  if (P.Finished) {
    T.Info = P.Info;
    auto End = std::make_unique<TIdentificationEnd>();
    End->Values.ConformityLevel = P.ConformityLevel;
    End->Values.Objects = std::move(P.Objects);
    T.Carry = std::move(End);
    return nullptr;
  }
  auto Next = std::make_unique<TModbusTransaction>(FrameCapacity);
  Next->Info = P.Info;
  Next->Info.Attempts = 0;
  Next->Info.ReplyStatus = rsNoReply;
  Next->Carry = std::move(P.Gathered);
  C.WriteAddress(Next->Info.ServerAddress, Next->Request);
  EncodeReadDeviceIdentification(Next->Request, P.Access, P.NextObjectId);
  C.AppendChecksum(Next->Request);
  return Next;
}

TDeviceIdentificationValues IdentificationOf(const TModbusFrameCodec&, TModbusTransaction& T) {
  if (auto* End = dynamic_cast<TIdentificationEnd*>(T.Carry.get())) return std::move(End->Values);
  return {};
}

}  // namespace

TRequester::TRequester(TModbusConnection& Connection, Byte ServerAddress)
    : FConnection(Connection), FServerAddress(ServerAddress), FRegistry(std::make_shared<TRequestRegistry>()) {
  if (ServerAddress < 1 || ServerAddress > 247) RaiseErrorFmt(Messages::ValueRange, 1, 247);
}

TRequester::~TRequester() {
  {
    std::lock_guard Lock(FRegistry->Lock);
    FRegistry->Closed = true;
  }
  CancelAll();
}

// The pending requests are taken under the lock, each kept alive by a reference, and cancelled
// outside it: a cancellation reports at once, and what it runs may send again.
int TRequester::CancelAll() noexcept {
  std::vector<std::shared_ptr<TRequestCore>> Pending;
  try {
    std::lock_guard Lock(FRegistry->Lock);
    for (TRequestCore* Core = FRegistry->First; Core != nullptr; Core = Core->Next)
      if (auto Alive = Core->weak_from_this().lock()) Pending.push_back(std::move(Alive));
  } catch (...) {
    // Out of memory for the list: those taken so far are still cancelled.
  }
  int Ended = 0;
  for (const auto& Core : Pending) Ended += Core->Cancel() ? 1 : 0;
  return Ended;
}

// The request's frame, all but its check, built now, so that its arguments are checked on the
// caller's thread before anything is sent.
template <class TValue, class F>
TRequest<TValue> TRequester::Make(typename TRequest<TValue>::TDecoder Decode, F WritePdu) {
  auto Transaction = std::make_unique<TModbusTransaction>(FrameCapacity);
  Transaction->Info.ServerAddress = FServerAddress;
  Transaction->Request.WriteByte(FServerAddress);
  WritePdu(*Transaction);
  return TRequest<TValue>(std::make_shared<TRequestCore>(FConnection, FRegistry, std::move(Transaction), nullptr),
                          Decode);
}

TRequest<TBitValues> TRequester::ReadCoils(Word StartBit, Word BitCount) {
  return Make<TBitValues>(BitsOf, [&](TModbusTransaction& T) {
    EncodeReadRequest(T.Request, Functions::ReadCoils, StartBit, BitCount, TModbusClient::MaxReadBits);
  });
}

TRequest<TBitValues> TRequester::ReadDiscreteInputs(Word StartBit, Word BitCount) {
  return Make<TBitValues>(BitsOf, [&](TModbusTransaction& T) {
    EncodeReadRequest(T.Request, Functions::ReadDiscreteInputs, StartBit, BitCount, TModbusClient::MaxReadBits);
  });
}

TRequest<TRegValues> TRequester::ReadHoldingRegisters(Word StartReg, Word RegCount) {
  return Make<TRegValues>(RegistersOf, [&](TModbusTransaction& T) {
    EncodeReadRequest(T.Request, Functions::ReadHoldingRegisters, StartReg, RegCount, TModbusClient::MaxReadRegisters);
  });
}

TRequest<TRegValues> TRequester::ReadInputRegisters(Word StartReg, Word RegCount) {
  return Make<TRegValues>(RegistersOf, [&](TModbusTransaction& T) {
    EncodeReadRequest(T.Request, Functions::ReadInputRegisters, StartReg, RegCount, TModbusClient::MaxReadRegisters);
  });
}

TRequest<bool> TRequester::WriteSingleCoil(Word BitAddr, bool BitValue) {
  return Make<bool>(CoilOf, [&](TModbusTransaction& T) { EncodeWriteSingleCoil(T.Request, BitAddr, BitValue); });
}

TRequest<Word> TRequester::WriteSingleRegister(Word RegAddr, Word RegValue) {
  return Make<Word>(RegisterOf,
                    [&](TModbusTransaction& T) { EncodeWriteSingleRegister(T.Request, RegAddr, RegValue); });
}

TRequest<TExceptionStatusValues> TRequester::ReadExceptionStatus() {
  return Make<TExceptionStatusValues>(DecodeExceptionStatusReply, [](TModbusTransaction& T) {
    EncodeFunctionOnly(T.Request, Functions::ReadExceptionStatus);
  });
}

TRequest<Word> TRequester::Diagnostics(TDiagnosticAction Action) {
  return Make<Word>(DiagnosticResultOf, [&](TModbusTransaction& T) { EncodeDiagnostics(T.Request, Action); });
}

TRequest<TBitValues> TRequester::WriteMultipleCoils(Word StartBit, const TBitValues& BitValues) {
  return Make<TBitValues>(CoilsWrittenOf,
                          [&](TModbusTransaction& T) { EncodeWriteMultipleCoils(T.Request, StartBit, BitValues); });
}

TRequest<TRegValues> TRequester::WriteMultipleRegisters(Word StartReg, const TRegValues& RegValues) {
  return Make<TRegValues>(RegistersWrittenOf, [&](TModbusTransaction& T) {
    EncodeWriteMultipleRegisters(T.Request, StartReg, RegValues);
  });
}

TRequest<TServerIdentificationData> TRequester::ReportServerIdentification() {
  return Make<TServerIdentificationData>(
      ServerIdOf, [](TModbusTransaction& T) { EncodeFunctionOnly(T.Request, Functions::ReportServerId); });
}

TRequest<TModbusFileRecordList> TRequester::ReadFileRecord(const TModbusFileRecordList& Records) {
  return Make<TModbusFileRecordList>(DecodeFileRecordReadReply,
                                     [&](TModbusTransaction& T) { EncodeReadFileRecord(T.Request, Records); });
}

TRequest<TModbusFileRecordList> TRequester::WriteFileRecord(const TModbusFileRecordList& Records) {
  return Make<TModbusFileRecordList>(DecodeFileRecordWriteReply,
                                     [&](TModbusTransaction& T) { EncodeWriteFileRecord(T.Request, Records); });
}

TRequest<TMaskWriteValues> TRequester::MaskWriteSingleRegister(Word RegAddr, Word AndMask, Word OrMask) {
  return Make<TMaskWriteValues>(
      MasksOf, [&](TModbusTransaction& T) { EncodeMaskWriteRegister(T.Request, RegAddr, AndMask, OrMask); });
}

TRequest<TCommEventCounterReply> TRequester::GetCommEventCounter() {
  return Make<TCommEventCounterReply>(DecodeCommEventCounterReply, [](TModbusTransaction& T) {
    EncodeFunctionOnly(T.Request, Functions::GetCommEventCounter);
  });
}

TRequest<TCommEventLogReply> TRequester::GetCommEventLog() {
  return Make<TCommEventLogReply>(DecodeCommEventLogReply, [](TModbusTransaction& T) {
    EncodeFunctionOnly(T.Request, Functions::GetCommEventLog);
  });
}

TRequest<TRegValues> TRequester::ReadWriteMultipleRegisters(Word ReadStart, Word ReadCount, Word WriteStart,
                                                            const TRegValues& WriteValues) {
  return Make<TRegValues>(RegistersReadWrittenOf, [&](TModbusTransaction& T) {
    EncodeReadWriteMultipleRegisters(T.Request, ReadStart, ReadCount, WriteStart, WriteValues);
  });
}

TRequest<TRegValues> TRequester::ReadFifoQueue(Word FifoAddress) {
  return Make<TRegValues>(FifoOf, [&](TModbusTransaction& T) { EncodeReadFifoQueue(T.Request, FifoAddress); });
}

TRequest<TDeviceIdentificationValues> TRequester::ReadDeviceIdentification(TDeviceIdAccess Access, Byte ObjectId) {
  auto Transaction = std::make_unique<TModbusTransaction>(FrameCapacity);
  Transaction->Info.ServerAddress = FServerAddress;
  Transaction->Request.WriteByte(FServerAddress);
  EncodeReadDeviceIdentification(Transaction->Request, Access, ObjectId);
  return TRequest<TDeviceIdentificationValues>(
      std::make_shared<TRequestCore>(FConnection, FRegistry, std::move(Transaction), FurtherObjects),
      IdentificationOf);
}

TRequest<TFrameData> TRequester::SendRawRequest(const TFrameData& Pdu, TReplyLength ReplyLength) {
  return Make<TFrameData>(RawReplyOf, [&](TModbusTransaction& T) {
    EncodeRawRequest(T.Request, Pdu);
    T.RawReply = ReplyLength;
  });
}

TRequest<TRegValues> TRequester::WriteDisplayLine(Word Selector, std::string_view Text) {
  return WriteMultipleRegisters(DisplayFirstRegister, PackDisplayLine(Selector, Text));
}

}  // namespace Quorvel
