#include "engine/TransactionThread.h"

#include <algorithm>
#include <cstring>
#include <thread>

#include <Quorvel/Application.h>
#include <Quorvel/Connection.h>
#include <Quorvel/Messages.h>
#include "engine/ConnectionEngine.h"
#include "engine/FrameData.h"
#include "platform/Clock.h"
#include "platform/Threads.h"
#include "protocol/FrameLength.h"
#include "protocol/MbapFrame.h"

namespace Quorvel {

TTransactionThread::TTransactionThread(TModbusConnection& Connection)
    : FConnection(Connection),
      FExchangeOnCaller(Connection.ExchangeOnCaller() && Connection.ConnectionMode() == cmClient &&
                        Connection.MaxOutstanding() == 1),
      FServeOnWorker(Connection.ServeOnWorker()),
      FRawSize(Connection.RawFrameSize()),
      FRxArea(static_cast<std::size_t>(FRawSize)),
      FTxArea(static_cast<std::size_t>(FRawSize)) {
  SetPriority(Connection.ThreadPriority());
  Start();
}

TTransactionThread::~TTransactionThread() {
  Terminate();
  // The stop event ends every wait that could outlast closing (LineIO.cpp); an idle client waits
  // for its queue's signal instead.
  FConnection.FEngine->StopEvent.Set();
  if (FConnection.ConnectionMode() == cmClient) FQueueEvent.Set();
  std::this_thread::yield();
  WaitFor();
  ClearQueue();
}

// ---- Queue ----

void TTransactionThread::Enqueue(std::unique_ptr<TModbusTransaction> Transaction) {
  bool Wake = false;
  {
    std::lock_guard Lock(FQueueLock);
    FQueue.push_back(std::move(Transaction));
    // Only a worker that found the queue empty waits for the signal; a busy one takes this
    // transaction when it comes back for the next, with no system call on either side.
    Wake = std::exchange(FWaiting, false);
  }
  if (Wake) FQueueEvent.Set();
}

// Only the main thread carries here, and never a transaction with a completion of its own: what
// that runs may close the connection, which would take the worker, and this lock, from under it.
bool TTransactionThread::CarryHere(std::unique_ptr<TModbusTransaction>& Transaction) {
  if (!FExchangeOnCaller || Transaction->Completion || !MainThread::IsMainThread()) return false;
  std::unique_lock Line(FLineLock, std::try_to_lock);
  if (!Line.owns_lock() || !FListening || Terminated()) return false;
  {
    std::lock_guard Lock(FQueueLock);
    if (!FQueue.empty()) return false;
  }
  ProcessTransaction(std::move(Transaction));
  return true;
}

bool TTransactionThread::DequeueOrWait(std::unique_ptr<TModbusTransaction>& Transaction) {
  std::lock_guard Lock(FQueueLock);
  FWaiting = FQueue.empty();
  if (FWaiting) return false;
  Transaction = std::move(FQueue.front());
  FQueue.pop_front();
  return true;
}

// Freed outside the lock: a transaction that ends through its own completion reports itself
// cancelled as it goes, and what that runs may queue another request.
void TTransactionThread::ClearQueue() noexcept {
  TRing<std::unique_ptr<TModbusTransaction>> Dropped;
  {
    std::lock_guard Lock(FQueueLock);
    std::swap(Dropped, FQueue);
  }
}

namespace {
thread_local bool OnWorker = false;
}

bool TTransactionThread::OnAWorker() noexcept { return OnWorker; }

// ---- Thread body ----

void TTransactionThread::Execute() {
  Platform::SetCurrentThreadName("quorvel-worker");
  OnWorker = true;
  try {
    if (FConnection.ConnectionMode() == cmClient)
      RunClient();
    else
      RunServer();
  } catch (...) {
    HandleException();
  }
}

void TTransactionThread::HandleException() noexcept {
  const std::exception_ptr Failed = std::current_exception();
  try {
    std::rethrow_exception(Failed);
  } catch (const EAbort&) {
    return;
  } catch (...) {
  }
  // Carried on the main thread (ExchangeOnCaller), the failure is shown from the pump: what that
  // runs may close the connection, which must not happen while this transaction holds the line.
  if (MainThread::IsMainThread() && MainThread::Post([Failed] { Application::HandleException(Failed); })) return;
  try {
    Synchronize([&Failed] { Application::HandleException(Failed); });
  } catch (...) {
    // The display itself failed; nothing is left to tell.
  }
}

// The silence rule needs the first frame read to start on a frame boundary; length-aware framing
// finds boundaries by itself, and its opening purged the port already.
void TTransactionThread::DiscardStartInput() {
  if (!FConnection.LengthAwareFraming()) FConnection.DiscardInput();
}

// From the start-up discard on, the worker hears every frame: the application is told, unless
// closing cut the wait short.
void TTransactionThread::AnnounceReady() {
  if (!Terminated()) FConnection.FEngine->Window.PostAlways(TModbusConnection::WM_READY, FConnection.FSession, {});
}

// Queued transactions go out back to back; the worker waits only when it finds the queue empty.
void TTransactionThread::RunClient() {
  {
    std::lock_guard Line(FLineLock);
    DiscardStartInput();
    FListening = true;
  }
  // Once the line is free: a request made at the news may be carried on the main thread.
  AnnounceReady();
  if (FConnection.IsModbusTCP() && FConnection.MaxOutstanding() > 1) return RunPipelinedClient();
  while (!Terminated()) {
    {
      std::lock_guard Line(FLineLock);
      std::unique_ptr<TModbusTransaction> Transaction;
      if (DequeueOrWait(Transaction)) {
        ProcessTransaction(std::move(Transaction));
        continue;
      }
    }
    // The main thread may carry a transaction over the line meanwhile: the line is left alone.
    if (FExchangeOnCaller) {
      FQueueEvent.Wait(Infinite);
      continue;
    }
    // The port is watched while idle too, so that an adapter pulled out between requests is told
    // at once rather than at the next request.
    if (FConnection.FEngine->Line->WaitForSignal(FQueueEvent, Infinite) == Platform::TWaitResult::Failed)
      FConnection.NotePortFailure();
  }
}

void TTransactionThread::ProcessTransaction(std::unique_ptr<TModbusTransaction> Transaction) {
  // A request cancelled while it waited in the queue is never sent.
  if (Transaction->Completion && !Transaction->Completion->Start()) return;
  try {
    TTransactionInfo& Info = Transaction->Info;
    Info.Attempts = 0;
    // Encoded once for all attempts, which share its transaction id: a late answer to the first
    // answers the same request.
    const int Length = FConnection.EncodeFrame(Transaction->Request, FTxArea.data(), FRawSize);
    if (FConnection.IsModbusTCP()) StampTransactionId();
    do {
      RunAttempt(*Transaction, Length);
      const bool Answered = Info.ReplyStatus == rsExceptionReply || Info.ReplyStatus == rsSuccess;
      // After the last attempt the pause only spaces this transaction from the next: closing ends it.
      Pause(FConnection.RefetchDelay(), Answered || Info.Attempts >= FConnection.MaxRetries());
      if (Answered) break;
    } while (MayRetry(Info));

    Finish(std::move(Transaction));
  } catch (...) {
    // The transaction is dropped (freed with its owner here) and the failure shown.
    HandleException();
  }
}

void TTransactionThread::Finish(std::unique_ptr<TModbusTransaction> Transaction) {
  // Its own completion, on this thread: no hop through the main thread, no client looked up.
  if (Transaction->Completion) {
    const std::shared_ptr<TTransactionCompletion> Completion = Transaction->Completion;
    Completion->Complete(std::move(Transaction));
    return;
  }
  // Nobody is told of a broadcast.
  if (Transaction->Info.ServerAddress == 0) return;
  // Never refused: the main thread made each of these requests itself, so they cannot pile up
  // beyond what it asked for, and a result must not be lost to a queue full of frame copies.
  FConnection.FEngine->Window.PostAlways(TModbusConnection::WM_TRANSACTIONDONE, FConnection.FSession,
                                         TMessagePayload::Of(std::move(Transaction)));
}

// ---- Several requests outstanding (Modbus TCP) ----

// The worker sends while there is room, and otherwise waits for a reply, for the first time-out,
// or (while there is room) for a new request. Closing lets the requests under way run to their
// time-out without further attempts, and sends nothing new.
void TTransactionThread::RunPipelinedClient() {
  FPending.resize(FConnection.MaxOutstanding());
  std::size_t Outstanding = 0;
  for (;;) {
    try {
      while (!Terminated() && Outstanding < FPending.size()) {
        TPending& Slot = FPending[Outstanding];
        if (!DequeueOrWait(Slot.Transaction)) break;
        if (SendPending(Slot)) ++Outstanding;
      }
      if (Outstanding == 0 || (Terminated() && FConnection.ReceiveTimeout() == Infinite)) {
        // Closing does not wait without limit for replies.
        if (Terminated()) return;
        if (FConnection.FEngine->Line->WaitForSignal(FQueueEvent, Infinite) == Platform::TWaitResult::Failed)
          FConnection.NotePortFailure();
        continue;
      }
      const Cardinal Wait = ExpirePending(Outstanding);
      if (Outstanding == 0) continue;
      // Room left: a new request ends the wait too (the queue's signal, given since it was found
      // empty); closing signals it as well.
      const bool Room = Outstanding < FPending.size() && !Terminated();
      // A reply read along with the previous one is waiting already.
      const auto Result = FConnection.FEngine->CarryCount > 0
                              ? Platform::TWaitResult::Input
                              : FConnection.FEngine->Line->WaitForInput(Wait, Room ? &FQueueEvent : nullptr);
      if (Result == Platform::TWaitResult::Failed) FConnection.NotePortFailure();
      if (Result == Platform::TWaitResult::Input) TakePipelinedReply(Outstanding);
    } catch (...) {
      HandleException();
    }
  }
}

bool TTransactionThread::SendPending(TPending& Pending) {
  TModbusTransaction& Transaction = *Pending.Transaction;
  // A request cancelled while it waited in the queue is never sent.
  if (Transaction.Completion && !Transaction.Completion->Start()) {
    Pending.Transaction.reset();
    return false;
  }
  Transaction.Info.Attempts = 1;
  Transaction.Info.ReplyStatus = rsNoReply;
  const int Length = FConnection.EncodeFrame(Transaction.Request, FTxArea.data(), FRawSize);
  StampTransactionId();
  Pending.Id = FTransactionId;
  Pending.SentAt = Platform::TickCount();
  PostFrameData(FTxArea.data(), Length, true);
  if (FConnection.WriteFrame(FTxArea.data(), Length, FConnection.SendTimeout())) Count(lcFramesSent);
  if (Transaction.Info.ServerAddress != 0) return true;
  Transaction.Info.ReplyStatus = rsSuccess;
  Finish(std::move(Pending.Transaction));
  return false;
}

void TTransactionThread::TakePipelinedReply(std::size_t& Outstanding) {
  TModbusConnection& C = FConnection;
  Cardinal Remaining = C.ReceiveTimeout();
  const int Length = C.ReadFrame(FRxArea.data(), FRawSize, Remaining);
  if (Length <= 0) return;
  PostFrameData(FRxArea.data(), Length, false);
  const Word Id = MbapTransactionId({FRxArea.data(), static_cast<std::size_t>(Length)});
  for (std::size_t I = 0; I < Outstanding; ++I) {
    TPending& Pending = FPending[I];
    if (Pending.Id != Id) continue;
    TModbusTransaction& Transaction = *Pending.Transaction;
    C.DecodeReceivedFrame(FRxArea.data(), Transaction.Reply, Length);
    FTransactionId = Id;
    Transaction.Info.ReplyStatus = JudgeReply(Transaction, Length);
    // A frame with the id but another server's address or function is no answer: wait on.
    if (Transaction.Info.ReplyStatus == rsInvalidReply) return;
    Finish(std::move(Pending.Transaction));
    // The last one fills the gap: the order of the rest does not matter, their ids do.
    std::swap(Pending, FPending[--Outstanding]);
    return;
  }
  Count(lcFramesReceived);
  Count(lcStaleReplies);
}

Cardinal TTransactionThread::ExpirePending(std::size_t& Outstanding) {
  const Cardinal Timeout = FConnection.ReceiveTimeout();
  Cardinal Next = Infinite;
  for (std::size_t I = 0; I < Outstanding;) {
    TPending& Pending = FPending[I];
    const Cardinal Spent = Platform::TickCount() - Pending.SentAt;
    if (Timeout == Infinite || Spent < Timeout) {
      if (Timeout != Infinite) Next = std::min(Next, Timeout - Spent);
      ++I;
      continue;
    }
    Count(lcTimeouts);
    TTransactionInfo& Info = Pending.Transaction->Info;
    if (Info.Attempts < FConnection.MaxRetries() && !Terminated()) {
      // Again with the same id: a late answer to the first attempt answers this one too.
      ++Info.Attempts;
      Count(lcRetries);
      const int Length = FConnection.EncodeFrame(Pending.Transaction->Request, FTxArea.data(), FRawSize);
      FTxArea[0] = static_cast<Byte>(Pending.Id >> 8);
      FTxArea[1] = static_cast<Byte>(Pending.Id & 0xFF);
      Pending.SentAt = Platform::TickCount();
      PostFrameData(FTxArea.data(), Length, true);
      if (FConnection.WriteFrame(FTxArea.data(), Length, FConnection.SendTimeout())) Count(lcFramesSent);
      Next = std::min(Next, Timeout);
      ++I;
      continue;
    }
    Info.ReplyStatus = rsNoReply;
    Finish(std::move(Pending.Transaction));
    std::swap(Pending, FPending[--Outstanding]);
  }
  return Next;
}

// Closing ends a wait without limit for the reply; the attempts after it would end the same way at
// once, so none is begun. Otherwise the transaction in progress runs through its attempts.
bool TTransactionThread::MayRetry(const TTransactionInfo& Info) const {
  return Info.Attempts < FConnection.MaxRetries() && !(Terminated() && FConnection.ReceiveTimeout() == Infinite);
}

// A pause that closing may cut short (Stoppable) or not; none at all when Ms is 0.
void TTransactionThread::Pause(Cardinal Ms, bool Stoppable) {
  if (Ms == 0) return;
  if (Stoppable)
    FConnection.FEngine->StopEvent.Wait(Ms);
  else
    Platform::SleepMs(Ms);
}

void TTransactionThread::RunAttempt(TModbusTransaction& Transaction, int FrameLength) {
  TTransactionInfo& Info = Transaction.Info;
  Info.ReplyStatus = rsNoReply;
  ++Info.Attempts;
  if (Info.Attempts > 1) Count(lcRetries);
  PostFrameData(FTxArea.data(), FrameLength, true);
  // Anything received before the request cannot be its answer.
  FConnection.PurgePort(true, true);
  if (!FConnection.WriteFrame(FTxArea.data(), FrameLength, FConnection.SendTimeout())) return;
  Count(lcFramesSent);
  if (Info.ServerAddress == 0) {
    // Time for the servers to act on it before the next request; with no next request, none.
    Pause(FConnection.TurnaroundDelay(), true);
    Info.ReplyStatus = rsSuccess;
    return;
  }
  ReadReply(Transaction, FrameLength);
}

// Reads frames within one ReceiveTimeout until one answers the request; a frame from another
// server or for another function is passed over and reading goes on within the same budget.
void TTransactionThread::ReadReply(TModbusTransaction& Transaction, int FrameLength) {
  TModbusConnection& C = FConnection;
  TTransactionInfo& Info = Transaction.Info;
  Cardinal Remaining = C.ReceiveTimeout();
  do {
    const bool Echo = C.EchoQueryBeforeReply();
    int Length = C.ReadFrame(FRxArea.data(), FRawSize, Remaining, &Transaction, Echo);
    C.DecodeReceivedFrame(FRxArea.data(), Transaction.Reply, Length);
    if (Echo && C.IsEcho(Transaction.Request, Transaction.Reply)) {
      Count(lcFramesReceived);
      Count(lcEchoes);
      if (Transaction.Reply.Size() == Transaction.Request.Size()) {
        // Only the echo was read: it is not reported; the answer follows.
        Length = C.ReadFrame(FRxArea.data(), FRawSize, Remaining, &Transaction);
        PostFrameData(FRxArea.data(), Length, false);
        C.DecodeReceivedFrame(FRxArea.data(), Transaction.Reply, Length);
      } else {
        // Echo and answer came in one read: keep only what followed the echo.
        PostFrameData(FRxArea.data() + FrameLength, Length - FrameLength, false);
        Transaction.Reply.SetPosition(Transaction.Request.Size());
        Transaction.Reply.Compact();
      }
    } else {
      PostFrameData(FRxArea.data(), Length, false);
    }

    Info.ReplyStatus = JudgeReply(Transaction, Length);
  } while (Info.ReplyStatus == rsInvalidReply && Remaining > 0);
}

// Judges the frame in the reply buffer (Length wire bytes) as the answer to the request, and
// counts what it was.
TReplyStatus TTransactionThread::JudgeReply(TModbusTransaction& Transaction, int Length) {
  TModbusConnection& C = FConnection;
  if (Length <= 0) {
    Count(lcTimeouts);
    return rsNoReply;
  }
  Count(lcFramesReceived);
  // A reply of an earlier request that came after its time-out: never this one's answer.
  if (C.IsModbusTCP() && MbapTransactionId({FRxArea.data(), static_cast<std::size_t>(Length)}) != FTransactionId) {
    Count(lcStaleReplies);
    return rsInvalidReply;
  }
  if (!JudgeCheck(Transaction.Reply)) return rsNoReply;
  if (!C.SameServerAddress(Transaction.Request, Transaction.Reply)) {
    Count(lcOtherAddresses);
    return rsInvalidReply;
  }
  if (!C.MatchesRequest(Transaction.Request, Transaction.Reply)) return rsInvalidReply;
  if (C.IsExceptionReply(Transaction.Reply)) {
    Count(lcExceptionReplies);
    C.ReadExceptionCode(Transaction.Reply, Transaction.Info.ExceptionKind, Transaction.Info.ExceptionCode);
    return rsExceptionReply;
  }
  // A late reply to an earlier request of the same function looks like an answer; where its
  // length or fields give it away, it is passed over like a frame from another server.
  if (C.LengthAwareFraming() && ContradictsRequest(Transaction.Request, Transaction.Reply, C.ChecksumSize())) return rsInvalidReply;
  return rsSuccess;
}

// IsValidFrame, telling a frame too short for the connection's role from one whose check fails.
bool TTransactionThread::JudgeCheck(TModbusBuffer& Frame) {
  if (FConnection.IsValidFrame(Frame)) return true;
  const int MinSize = FConnection.ConnectionMode() == cmClient ? FConnection.MinReplySize() : FConnection.MinRequestSize();
  Count(Frame.Size() < MinSize ? lcMalformedFrames : lcCheckFailures);
  return false;
}

void TTransactionThread::StampTransactionId() {
  ++FTransactionId;
  FTxArea[0] = static_cast<Byte>(FTransactionId >> 8);
  FTxArea[1] = static_cast<Byte>(FTransactionId & 0xFF);
}

void TTransactionThread::Count(TLineCounter Counter) noexcept { FConnection.FEngine->Counters.Add(Counter); }

void TTransactionThread::RunServer() {
  TModbusConnection& C = FConnection;
  TModbusTransaction Transaction(C.FrameBufferSize());
  DiscardStartInput();
  AnnounceReady();
  while (!Terminated()) {
    try {
      Cardinal Remaining = Infinite;
      const int Length = C.ReadFrame(FRxArea.data(), FRawSize, Remaining);
      PostFrameData(FRxArea.data(), Length, false);
      if (Length <= 0) continue;  // stopped, or the port failed
      Count(lcFramesReceived);
      C.DecodeReceivedFrame(FRxArea.data(), Transaction.Request, Length);
      // A frame that is too short or fails its check is not answered.
      if (JudgeCheck(Transaction.Request) && !Terminated()) AnswerRequest(Transaction);
    } catch (...) {
      HandleException();
    }
  }
}

void TTransactionThread::AnswerRequest(TModbusTransaction& Transaction) {
  TModbusConnection& C = FConnection;
  Transaction.Info.ServerAddress = C.ReadServerAddress(Transaction.Request);
  Transaction.Reply.SetSize(0);
  bool Served = false;
  const auto Serve = [&C, &Transaction, &Served] {
    Served = C.FindServer(Transaction.Info.ServerAddress) != nullptr;
    C.DispatchRequest(Transaction);
  };
  if (FServeOnWorker) {
    std::lock_guard Lock(C.FEngine->ServersLock);
    Serve();
  } else {
    // The servers and their data live on the main thread; this worker waits meanwhile.
    Synchronize(Serve);
  }
  if (Transaction.Info.ServerAddress == 0) return;  // a broadcast is never answered
  // A Modbus TCP client asks a unit id that nothing here serves: it is talking to the wrong
  // server, and it would only wait for answers that never come.
  if (C.IsModbusTCP() && !Served) {
    C.FEngine->Line->Abandon();
    return;
  }
  // An empty reply encodes to nothing: nothing goes out, but OnFrameSend still sees it.
  const int Length = C.EncodeFrame(Transaction.Reply, FTxArea.data(), FRawSize);
  // The reply carries its request's transaction id.
  if (C.IsModbusTCP() && Length > 0) std::memcpy(FTxArea.data(), FRxArea.data(), 2);
  PostFrameData(FTxArea.data(), Length, true);
  // A request that no server here answers (one to another station on a shared line) leaves the
  // line to that station: what follows it, read already or not, is kept for the next read.
  if (Length == 0) return;
  C.PurgePort(true, true);
  if (C.WriteFrame(FTxArea.data(), Length, C.SendTimeout())) Count(lcFramesSent);
}

// A copy that the main thread's full queue refuses is left out and counted: the frame itself and
// the transaction it belongs to go on.
void TTransactionThread::PostFrameData(const Byte* Data, int Length, bool Sent) {
  if (!(Sent ? FConnection.FHasFrameSend : FConnection.FHasFrameReceive)) return;
  const std::size_t Size = Length > 0 ? static_cast<std::size_t>(Length) : 0;
  TFrameDataCell Cell = NewFrameData(Size);
  if (Size > 0) std::memcpy(Cell->data(), Data, Size);
  if (!FConnection.FEngine->Window.Post(TModbusConnection::WM_FRAMEDATA, Sent ? 1 : 0, TMessagePayload::Of(std::move(Cell))))
    Count(lcFrameCopiesDropped);
}

}  // namespace Quorvel
