#pragma once
// The connection's worker: carries queued transactions over the line in submission order (client
// mode), or listens for requests and sends the servers' replies (server mode).

#include <memory>
#include <mutex>
#include <vector>

#include <Quorvel/Transaction.h>
#include <Quorvel/Types.h>
#include "engine/LineCounters.h"
#include "platform/Event.h"
#include "runtime/Ring.h"
#include "runtime/Thread.h"

namespace Quorvel {

class TModbusConnection;

class TTransactionThread : public TThread {
 public:
  // Starts the thread at once, with the connection's priority.
  explicit TTransactionThread(TModbusConnection& Connection);
  // Lets a transaction in progress run through its attempts, then frees what is still queued.
  ~TTransactionThread() override;

  void Enqueue(std::unique_ptr<TModbusTransaction> Transaction);
  // ExchangeOnCaller: carries Transaction out on the calling (main) thread when nothing is queued
  // or under way; false, with Transaction left with the caller to queue, otherwise.
  bool CarryHere(std::unique_ptr<TModbusTransaction>& Transaction);
  // Takes the first transaction; when the queue is empty, the worker's promise to wait for the
  // next Enqueue's signal instead.
  bool DequeueOrWait(std::unique_ptr<TModbusTransaction>& Transaction);
  void ClearQueue() noexcept;
  // Whether the calling thread is a connection's worker: a wait for a request there would wait for
  // the thread that has to carry it.
  static bool OnAWorker() noexcept;

 protected:
  void Execute() override;
  virtual void HandleException() noexcept;

 private:
  void DiscardStartInput();
  // OnReady: the worker listens.
  void AnnounceReady();
  void RunClient();
  void RunServer();
  void ProcessTransaction(std::unique_ptr<TModbusTransaction> Transaction);
  bool MayRetry(const TTransactionInfo& Info) const;
  void Pause(Cardinal Ms, bool Stoppable);
  void RunAttempt(TModbusTransaction& Transaction, int FrameLength);
  void ReadReply(TModbusTransaction& Transaction, int FrameLength);
  TReplyStatus JudgeReply(TModbusTransaction& Transaction, int Length);
  bool JudgeCheck(TModbusBuffer& Frame);
  void Count(TLineCounter Counter) noexcept;
  void AnswerRequest(TModbusTransaction& Transaction);
  void PostFrameData(const Byte* Data, int Length, bool Sent);
  // Modbus TCP: gives the encoded request in FTxArea the next transaction id.
  void StampTransactionId();

  // Modbus TCP with MaxOutstanding above 1: up to that many requests are sent before their
  // replies, which are matched to them by transaction id as they come.
  struct TPending {
    std::unique_ptr<TModbusTransaction> Transaction;
    Word Id = 0;
    // When its last attempt went out (the tick count).
    Cardinal SentAt = 0;
  };
  void RunPipelinedClient();
  // Encodes, stamps and sends; false when it is done with already (a broadcast, a failed send
  // that has no attempt left is not: it waits for its time-out like a silent server's).
  bool SendPending(TPending& Pending);
  // Reads the frame that has begun and hands it to the request it answers.
  void TakePipelinedReply(std::size_t& Outstanding);
  // Ends the requests whose time is up, or sends them again; the milliseconds until the next
  // one's time is up.
  Cardinal ExpirePending(std::size_t& Outstanding);
  void Finish(std::unique_ptr<TModbusTransaction> Transaction);

  TModbusConnection& FConnection;
  // Read at opening: they cannot change while the connection is open.
  const bool FExchangeOnCaller;
  const bool FServeOnWorker;
  // Held by whichever thread carries a client's transaction: the worker, or the main thread with
  // ExchangeOnCaller. The worker takes it before it looks at the queue, so that a transaction it
  // has taken is under way for the main thread too.
  std::mutex FLineLock;
  // Under FLineLock: the worker has done its start-up discard, which the first request follows.
  bool FListening = false;
  Platform::TEventObject FQueueEvent{false};
  std::mutex FQueueLock;
  TRing<std::unique_ptr<TModbusTransaction>> FQueue;
  bool FWaiting = false;  // under FQueueLock
  int FRawSize;
  std::vector<Byte> FRxArea;
  std::vector<Byte> FTxArea;
  // Modbus TCP client: the id of the last request stamped, which its reply must carry.
  Word FTransactionId = 0;
  // Made at start, never per request.
  std::vector<TPending> FPending;
};

}  // namespace Quorvel
