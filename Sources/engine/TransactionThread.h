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

  TModbusConnection& FConnection;
  Platform::TEventObject FQueueEvent{false};
  std::mutex FQueueLock;
  TRing<std::unique_ptr<TModbusTransaction>> FQueue;
  bool FWaiting = false;  // under FQueueLock
  int FRawSize;
  std::vector<Byte> FRxArea;
  std::vector<Byte> FTxArea;
};

}  // namespace Quorvel
