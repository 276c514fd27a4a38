#pragma once
// The ways a TRequester's request can be sent, for the suites that prove each of them ends every
// outcome once: a future, a blocking call (from a thread, and on the main thread), a callback (on
// the worker, on the main thread) and co_await (resumed on either).

#include <atomic>
#include <coroutine>
#include <exception>
#include <future>
#include <thread>

#include <Quorvel/Messages.h>
#include <Quorvel/Requester.h>

namespace QuorvelTest {

// A coroutine that starts at once and frees itself at its end: enough to co_await requests in a
// test.
struct TDetached {
  struct promise_type {
    TDetached get_return_object() noexcept { return {}; }
    std::suspend_never initial_suspend() noexcept { return {}; }
    std::suspend_never final_suspend() noexcept { return {}; }
    void return_void() noexcept {}
    void unhandled_exception() { std::terminate(); }
  };
};

enum TStyle { stFuture, stWait, stWaitOnMain, stThenWorker, stThenMain, stAwaitMain, stAwaitWorker };
inline constexpr TStyle AllStyles[] = {stFuture,   stWait,      stWaitOnMain, stThenWorker,
                                       stThenMain, stAwaitMain, stAwaitWorker};
inline const char* StyleName(TStyle Style) {
  static const char* const Names[] = {"future",           "blocking call from a thread", "blocking call on main",
                                      "worker callback",  "main-thread callback",        "co_await on main",
                                      "co_await on the worker"};
  return Names[Style];
}
// Whether the style runs its end on the main thread; the future and the thread's blocking call
// are read on threads of the test's own choosing.
inline bool EndsOnMain(TStyle Style) { return Style == stThenMain || Style == stAwaitMain || Style == stWaitOnMain; }
inline bool EndsOnAThreadOfItsOwn(TStyle Style) { return Style == stFuture || Style == stWait; }

// What a request's end looked like, and how many ends it had.
template <class TValue>
struct TStyleEnd {
  std::atomic<int> Count{0};
  std::atomic<bool> OnMain{false};
  Quorvel::TReply<TValue> Reply;

  void Keep(const Quorvel::TReply<TValue>& Value) {
    OnMain = Quorvel::MainThread::IsMainThread();
    Reply = Value;
    ++Count;
  }
};

template <class TValue>
TDetached AwaitInto(Quorvel::TRequest<TValue> Request, Quorvel::TResumeOn Where, TStyleEnd<TValue>& End) {
  const Quorvel::TReply<TValue> Reply = co_await Request.ResumeOn(Where);
  End.Keep(Reply);
}

// Pumps the main thread's queue for Ms; an end on a worker posts nothing that would wake it.
inline void PumpFor(int Ms) {
  Quorvel::MainThread::ProcessMessagesUntil([] { return false; }, static_cast<Quorvel::Cardinal>(Ms));
}

// Sends Request in Style and pumps the main thread (a server of this process answers only while it
// does) until the request has ended or TimeoutMs have passed, then a little longer, so that a
// second end would be seen.
template <class TValue>
void SendInStyle(TStyle Style, Quorvel::TRequest<TValue> Request, TStyleEnd<TValue>& End, int TimeoutMs = 10000) {
  using namespace Quorvel;
  const auto Keep = [&End](const TReply<TValue>& Reply) { End.Keep(Reply); };
  std::thread Waiter;
  std::future<TReply<TValue>> Future;
  switch (Style) {
    case stFuture: Future = Request.Future(); break;
    case stWait: Waiter = std::thread([Request, Keep]() mutable { Keep(Request.Wait()); }); break;
    case stWaitOnMain: Keep(Request.Wait()); break;
    case stThenWorker: Request.Then(Keep, roWorker); break;
    case stThenMain: Request.Then(Keep); break;
    case stAwaitMain: AwaitInto(Request, roMainThread, End); break;
    case stAwaitWorker: AwaitInto(Request, roWorker, End); break;
  }
  for (int Waited = 0; Waited < TimeoutMs; Waited += 5) {
    if (Future.valid() && Future.wait_for(std::chrono::seconds(0)) == std::future_status::ready) Keep(Future.get());
    if (End.Count > 0) break;
    PumpFor(5);
  }
  if (Waiter.joinable()) Waiter.join();
  PumpFor(50);
}

}  // namespace QuorvelTest
