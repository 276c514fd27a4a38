#include "runtime/MessageWindow.h"

#include <chrono>
#include <condition_variable>
#include <algorithm>
#include <mutex>
#include <shared_mutex>
#include <thread>
#include <vector>

#include <Quorvel/Application.h>
#include "runtime/MainThreadOnly.h"
#include "runtime/Ring.h"

namespace Quorvel {

namespace MainThread::Detail {
// Held by the window and by each queued message, so that a handler which destroys its own window
// finishes running on a live function object.
struct TWindowCore {
  std::function<void(TMessage&)> Handler;
};
}  // namespace MainThread::Detail

namespace {

using MainThread::Detail::TWindowCore;

std::thread::id MainThreadId() {
  static const std::thread::id Id = std::this_thread::get_id();
  return Id;
}
// Fixes the main thread during static initialisation rather than at whichever first call comes later.
[[maybe_unused]] const bool MainThreadRecorded = (MainThreadId(), true);

struct TPosted {
  std::uint64_t Sequence = 0;
  std::shared_ptr<TWindowCore> Window;
  TMessage Message;
};

// Lives on the waiting worker's stack; the main thread touches it only under the queue's lock, and
// the worker leaves only once Done is set under that lock.
struct TSyncCall {
  const std::function<void()>* Call = nullptr;
  std::exception_ptr Error;
  bool Done = false;
  std::condition_variable Finished;
};

struct TQueue {
  std::mutex Lock;
  std::condition_variable Pending;  // the main thread waits on it
  TRing<TPosted> Posted;
  TRing<TSyncCall*> Calls;
  std::uint64_t NextSequence = 0;

  std::shared_mutex WakeUpLock;  // held shared while calling, exclusively while replacing
  std::function<void()> WakeUp;
};

// Never destroyed: a connection held in a static object is closed during exit, after function
// statics like this one would have gone, and its window still deregisters here.
TQueue& Queue() {
  static TQueue& Instance = *new TQueue;
  return Instance;
}

// How many thread-end waits the main thread is inside (they nest when a synchronous call served by
// one waits for another thread). Main thread only. While it is not 0, posted messages stay queued
// even if something pumps meanwhile (a modal box shown by a synchronous call runs a nested loop).
int ThreadEndWaits = 0;
// How many ProcessMessages calls the main thread is inside. Main thread only.
int Dispatching = 0;

// noexcept: a wake-up handler that throws would leave the event loop in an unknown state.
void CallWakeUp() noexcept {
  TQueue& Q = Queue();
  std::shared_lock Guard(Q.WakeUpLock);
  if (Q.WakeUp) Q.WakeUp();
}

void RunSynchronousCalls() {
  TQueue& Q = Queue();
  for (;;) {
    TSyncCall* Call;
    {
      std::lock_guard Guard(Q.Lock);
      if (Q.Calls.empty()) return;
      Call = Q.Calls.front();
      Q.Calls.pop_front();
    }
    std::exception_ptr Error;
    try {
      (*Call->Call)();
    } catch (...) {
      Error = std::current_exception();
    }
    std::lock_guard Guard(Q.Lock);
    Call->Error = std::move(Error);
    Call->Done = true;
    // Notified under the lock: once the worker sees Done it destroys Call, condition variable and all.
    Call->Finished.notify_one();
  }
}

}  // namespace

TMessageWindow::TMessageWindow(std::function<void(TMessage&)> Handler)
    : FCore(std::make_shared<TWindowCore>(TWindowCore{std::move(Handler)})) {}

TMessageWindow::~TMessageWindow() {
  TQueue& Q = Queue();
  std::vector<TPosted> Dropped;  // freed outside the lock: a payload's destructor may do anything
  {
    std::lock_guard Guard(Q.Lock);
    Q.Posted.ExtractIf([this](const TPosted& Item) { return Item.Window == FCore; }, Dropped);
  }
}

bool TMessageWindow::Post(Cardinal Msg, std::uintptr_t WParam, TMessagePayload LParam) {
  return Enqueue(Msg, WParam, std::move(LParam), true);
}

void TMessageWindow::PostAlways(Cardinal Msg, std::uintptr_t WParam, TMessagePayload LParam) {
  Enqueue(Msg, WParam, std::move(LParam), false);
}

bool TMessageWindow::Enqueue(Cardinal Msg, std::uintptr_t WParam, TMessagePayload LParam, bool Bounded) {
  TQueue& Q = Queue();
  {
    std::lock_guard Guard(Q.Lock);
    if (Bounded && Q.Posted.size() >= MainThread::MaxPostedMessages) return false;
    Q.Posted.push_back(TPosted{Q.NextSequence++, FCore, TMessage{Msg, WParam, std::move(LParam)}});
    Q.Pending.notify_all();
  }
  CallWakeUp();
  return true;
}

namespace MainThread {

bool IsMainThread() { return std::this_thread::get_id() == MainThreadId(); }

void ProcessMessages() {
  RequireMainThread("ProcessMessages");
  struct TDepth {
    TDepth() { ++Dispatching; }
    ~TDepth() { --Dispatching; }
  } Inside;
  RunSynchronousCalls();
  if (ThreadEndWaits > 0) return;
  TQueue& Q = Queue();
  std::uint64_t Limit;
  {
    std::lock_guard Guard(Q.Lock);
    Limit = Q.NextSequence;
  }
  for (;;) {
    TPosted Item;
    {
      // One at a time, so that a window destroyed by an earlier handler has already taken its
      // messages out of the queue.
      std::lock_guard Guard(Q.Lock);
      if (Q.Posted.empty() || Q.Posted.front().Sequence >= Limit) return;
      Item = std::move(Q.Posted.front());
      Q.Posted.pop_front();
    }
    try {
      Item.Window->Handler(Item.Message);
    } catch (...) {
      Application::HandleException(std::current_exception());
    }
  }
}

bool WaitForMessages(Cardinal TimeoutMs) {
  RequireMainThread("WaitForMessages");
  TQueue& Q = Queue();
  std::unique_lock Guard(Q.Lock);
  const auto Something = [&Q] { return !Q.Calls.empty() || (ThreadEndWaits == 0 && !Q.Posted.empty()); };
  if (TimeoutMs == Infinite) {
    Q.Pending.wait(Guard, Something);
    return true;
  }
  return Q.Pending.wait_for(Guard, std::chrono::milliseconds(TimeoutMs), Something);
}

bool ProcessMessagesUntil(const std::function<bool()>& Done, Cardinal TimeoutMs) {
  RequireMainThread("ProcessMessagesUntil");
  using Clock = std::chrono::steady_clock;
  const auto Deadline = Clock::now() + std::chrono::milliseconds(TimeoutMs);
  for (;;) {
    ProcessMessages();
    if (Done()) return true;
    if (TimeoutMs == Infinite) {
      WaitForMessages(Infinite);
      continue;
    }
    const auto Now = Clock::now();
    if (Now >= Deadline) return Done();
    const auto Left = std::chrono::ceil<std::chrono::milliseconds>(Deadline - Now);
    WaitForMessages(static_cast<Cardinal>(Left.count()));
  }
}

void SetWakeUpHandler(std::function<void()> Handler) {
  TQueue& Q = Queue();
  std::unique_lock Guard(Q.WakeUpLock);
  Q.WakeUp = std::move(Handler);
}

void Synchronize(const std::function<void()>& Call) {
  if (IsMainThread()) {
    Call();
    return;
  }
  TQueue& Q = Queue();
  TSyncCall Request;
  Request.Call = &Call;
  {
    std::lock_guard Guard(Q.Lock);
    Q.Calls.push_back(&Request);
    Q.Pending.notify_all();
  }
  CallWakeUp();
  {
    std::unique_lock Guard(Q.Lock);
    Request.Finished.wait(Guard, [&Request] { return Request.Done; });
  }
  if (Request.Error) std::rethrow_exception(Request.Error);
}

namespace {
TMessageWindow& PostedCalls() {
  // The queue is made first, so that it outlives the window of posted calls at the program's exit.
  Queue();
  static TMessageWindow Window([](TMessage& Message) {
    if (auto Posted = Message.LParam.Take<std::function<void()>>()) (*Posted)();
  });
  return Window;
}
}  // namespace

bool Post(std::function<void()> Call) {
  return PostedCalls().Post(0, 0, TMessagePayload::Of(std::make_unique<std::function<void()>>(std::move(Call))));
}

namespace Detail {

void ServeSynchronousCallsUntil(const std::function<bool()>& Done) {
  RequireMainThread("ServeSynchronousCallsUntil");
  TQueue& Q = Queue();
  struct TDepth {
    TDepth() { ++ThreadEndWaits; }
    ~TDepth() { --ThreadEndWaits; }
  };
  {
    TDepth Inside;
    for (;;) {
      RunSynchronousCalls();
      std::unique_lock Guard(Q.Lock);
      Q.Pending.wait(Guard, [&] { return !Q.Calls.empty() || Done(); });
      if (Q.Calls.empty()) break;
    }
  }
  // A loop that pumped during the wait has used up the wake-ups of messages it had to leave queued.
  bool Left;
  {
    std::lock_guard Guard(Q.Lock);
    Left = ThreadEndWaits == 0 && !Q.Posted.empty();
  }
  if (Left) CallWakeUp();
}

void PostAlways(std::function<void()> Call) {
  PostedCalls().PostAlways(0, 0, TMessagePayload::Of(std::make_unique<std::function<void()>>(std::move(Call))));
}

bool IsPumping() {
  if (!IsMainThread()) return false;
  if (Dispatching > 0) return true;
  TQueue& Q = Queue();
  std::shared_lock Guard(Q.WakeUpLock);
  return static_cast<bool>(Q.WakeUp);
}

void NotifyMainThread() {
  TQueue& Q = Queue();
  // Taking the lock orders this after a waiter's check of Done(), so the wake-up cannot be lost.
  std::lock_guard Guard(Q.Lock);
  Q.Pending.notify_all();
}

}  // namespace Detail
}  // namespace MainThread
}  // namespace Quorvel
