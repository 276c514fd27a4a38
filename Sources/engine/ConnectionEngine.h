#pragma once
// What a connection keeps of its engine: the line, the worker, the message window the worker posts
// to, and the worker's own state of the line. Private to the library, so that the public header
// names no platform type and no internal class.

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include <Quorvel/Connection.h>
#include "engine/Line.h"
#include "engine/LineCounters.h"
#include "engine/TransactionThread.h"
#include "platform/Event.h"
#include "runtime/MessageWindow.h"

namespace Quorvel {

// Makes the line that an opening connection works on, or raises the opening's error.
using TLineFactory = std::function<std::unique_ptr<TLine>(TModbusConnection& Connection)>;

struct TModbusConnection::TEngine {
  explicit TEngine(TModbusConnection& Connection)
      : Window([&Connection](TMessage& Message) { Connection.HandleWindowMessage(Message); }) {}

  // Null while closed. The worker uses it between opening and closing only (and, with
  // ExchangeOnCaller, the main thread while it holds the worker's line lock).
  std::unique_ptr<TLine> Line;
  // Set by tests: a line of their own instead of the port.
  TLineFactory LineFactory;
  // Manual-reset: set when closing begins, so that every wait that listens to it ends, now and
  // until the next opening resets it.
  Platform::TEventObject StopEvent{true};
  TLineCounters Counters;
  // The carrying thread's (the worker's, or the main thread's with ExchangeOnCaller, under the
  // worker's line lock), cleared at each opening: the line's failure has been reported.
  bool FailureReported = false;
  // The carrying thread's. Bytes that a length-aware read took past the end of its frame: the
  // start of the next frame, which the next read begins with. Allocated at opening, emptied by
  // every input purge.
  std::vector<Byte> Carry;
  int CarryCount = 0;
  // The carrying thread's: when bytes last arrived, on the monotonic clock in microseconds.
  std::uint64_t LastReceive = 0;
  std::unique_ptr<TTransactionThread> Thread;
  // Guards Thread against the requests that come from any thread (Offer): the main thread holds it
  // while it starts the worker and while it takes it away to stop it; only the main thread writes it.
  std::mutex ThreadLock;
  // Guards the list of servers where the worker answers requests itself (ServeOnWorker); a
  // server's handler may detach a server as it answers.
  std::recursive_mutex ServersLock;

  // Any thread: Finish(Transaction) completes the frame (its check), then the transaction goes to
  // the worker, both under ThreadLock, so that the framing cannot change and the worker cannot go
  // meanwhile. False, and the transaction left with the caller, while no worker runs.
  template <class F>
  bool Offer(std::unique_ptr<TModbusTransaction>& Transaction, F Finish) {
    std::lock_guard Lock(ThreadLock);
    if (!Thread) return false;
    Finish(*Transaction);
    Thread->Enqueue(std::move(Transaction));
    return true;
  }
  // Last, so that it goes first: nothing is dispatched into a half-destroyed engine.
  TMessageWindow Window;
};

// The engine's parts of a connection, for the engine's own code and its tests.
struct TConnectionEngineAccess {
  static TModbusConnection::TEngine& Engine(TModbusConnection& Connection) { return *Connection.FEngine; }
  static void SetLineFactory(TModbusConnection& Connection, TLineFactory Factory) {
    Connection.FEngine->LineFactory = std::move(Factory);
  }
};

}  // namespace Quorvel
