#pragma once
/// @file
/// The main thread's message queue: the library's counterpart of a hidden window.
///
/// Worker threads never call into components. They talk back in two ways:
/// - posting a message to a TMessageWindow: queued, dispatched later by the main thread;
/// - a synchronous call (MainThread::Synchronize): the main thread runs it while the worker waits.
/// The two live in separate queues because they are served at different times: a thread-end wait
/// (TThread::WaitFor) serves synchronous calls, so a worker blocked in one can always finish, but it
/// must not dispatch posted messages, which would reach components in the middle of being closed.
///
/// An event loop plugs in through SetWakeUpHandler (the Qt utility schedules ProcessMessages on its
/// own loop); console tools and tests pump with ProcessMessages, WaitForMessages or
/// ProcessMessagesUntil.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <typeinfo>
#include <utility>

#include "Export.h"
#include "Types.h"

namespace Quorvel {

/// What a message carries: one heap object of any type, owned by the message until the receiver takes
/// it back. A message that is never dispatched (its window destroyed first, or a refused post) frees
/// its payload, so a worker can hand over ownership and forget about it.
class TMessagePayload {
 public:
  TMessagePayload() noexcept = default;
  /// Moving hands the object over; the source is left empty.
  ///@{
  TMessagePayload(TMessagePayload&& Other) noexcept
      : FObject(std::exchange(Other.FObject, nullptr)),
        FDelete(std::exchange(Other.FDelete, nullptr)),
        FType(std::exchange(Other.FType, nullptr)) {}
  TMessagePayload& operator=(TMessagePayload&& Other) noexcept {
    if (this != &Other) {
      Reset();
      FObject = std::exchange(Other.FObject, nullptr);
      FDelete = std::exchange(Other.FDelete, nullptr);
      FType = std::exchange(Other.FType, nullptr);
    }
    return *this;
  }
  ///@}
  TMessagePayload(const TMessagePayload&) = delete;
  TMessagePayload& operator=(const TMessagePayload&) = delete;
  ~TMessagePayload() { Reset(); }

  /// An empty pointer gives an empty payload.
  template <class T>
  static TMessagePayload Of(std::unique_ptr<T> Object) {
    TMessagePayload Result;
    if (Object) {
      Result.FObject = Object.release();
      Result.FDelete = [](void* P) { std::default_delete<T>()(static_cast<T*>(P)); };
      Result.FType = &typeid(T);
    }
    return Result;
  }

  /// Hands the object back when it was stored as exactly T (not a base or a derived class); otherwise
  /// returns an empty pointer and keeps the object, which is then freed with the payload.
  template <class T>
  std::unique_ptr<T> Take() {
    if (!FObject || *FType != typeid(T)) return nullptr;
    FDelete = nullptr;
    FType = nullptr;
    return std::unique_ptr<T>(static_cast<T*>(std::exchange(FObject, nullptr)));
  }

  /// Whether the payload holds an object.
  explicit operator bool() const noexcept { return FObject != nullptr; }

 private:
  void Reset() noexcept {
    if (FObject) FDelete(FObject);
    FObject = nullptr;
    FDelete = nullptr;
    FType = nullptr;
  }

  void* FObject = nullptr;
  void (*FDelete)(void*) = nullptr;
  const std::type_info* FType = nullptr;
};

/// A posted message: its number, a number argument and a payload.
struct TMessage {
  /// The message number.
  Cardinal Msg = 0;
  /// A number that goes with it.
  std::uintptr_t WParam = 0;
  /// The object that goes with it, if any.
  TMessagePayload LParam;
};

namespace MainThread::Detail {
struct TWindowCore;
}

/// A message target. Create and destroy it on the main thread; post to it from any thread; its handler
/// runs on the main thread only. Messages to all windows are dispatched in the order they were posted.
class QUORVEL_EXPORT TMessageWindow {
 public:
  /// A window whose messages Handler receives.
  explicit TMessageWindow(std::function<void(TMessage&)> Handler);
  /// Messages still queued for the window are dropped and their payloads freed: nothing is ever
  /// dispatched into a destroyed window. Destroying the window from inside its own handler is safe.
  ///@{
  ~TMessageWindow();
  TMessageWindow(const TMessageWindow&) = delete;
  TMessageWindow& operator=(const TMessageWindow&) = delete;
  ///@}

  /// Any thread. Returns false when the message cannot be queued because MaxPostedMessages are already
  /// waiting (the main thread is not pumping); the payload is then freed, here, on the caller's thread.
  bool Post(Cardinal Msg, std::uintptr_t WParam, TMessagePayload LParam);

 private:
  std::shared_ptr<MainThread::Detail::TWindowCore> FCore;
};

namespace MainThread {

/// How many posted messages may wait at once, over all windows; more are refused.
inline constexpr std::size_t MaxPostedMessages = 10000;

/// The main thread is the thread that ran the program's static initialisation, which on every platform
/// we build for is the thread that runs main(). The library records it then; nothing can change it.
QUORVEL_EXPORT bool IsMainThread();

// The functions marked "main thread" throw std::logic_error on any other thread.

/// Main thread: runs the pending synchronous calls, then dispatches the messages posted so far (not
/// those that the handlers post meanwhile, so a handler that posts to itself cannot starve the
/// caller). An exception escaping a handler goes to Application::HandleException and dispatching goes
/// on. May be re-entered from a handler (a modal box running a nested loop). Inside a thread-end wait
/// (a synchronous call that shows a modal box while TThread::WaitFor serves it) it runs synchronous
/// calls only; the posted messages wait for the end of the wait, which calls the wake-up handler again.
QUORVEL_EXPORT void ProcessMessages();

/// Main thread: blocks until a message or a synchronous call is pending, or TimeoutMs have passed
/// (Infinite waits without limit). True when something is pending that ProcessMessages would handle
/// now. Dispatches nothing.
QUORVEL_EXPORT bool WaitForMessages(Cardinal TimeoutMs);

/// Main thread: pumps (ProcessMessages, then waits for more) until Done() holds or TimeoutMs have
/// passed; returns Done(). Done() is checked after each round, so it should become true through what
/// the round dispatches or runs; a condition that changes without a message is seen at the time-out.
QUORVEL_EXPORT bool ProcessMessagesUntil(const std::function<bool()>& Done, Cardinal TimeoutMs);

/// Called, from the queuing thread, each time a message or a synchronous call is queued. It must be
/// quick, must not throw (that terminates the program) and must not post or call SetWakeUpHandler.
/// Once SetWakeUpHandler returns, the previous handler is no longer running and will not be called
/// again. An empty handler removes it.
QUORVEL_EXPORT void SetWakeUpHandler(std::function<void()> Handler);

/// From a worker: runs Call on the main thread and waits for it to return; an exception thrown by
/// Call is rethrown here. The main thread runs it in ProcessMessages or while it waits for a thread to
/// end (TThread::WaitFor). Called on the main thread, it runs Call directly.
QUORVEL_EXPORT void Synchronize(const std::function<void()>& Call);

// For TThread: the thread-end wait, which serves synchronous calls but dispatches no posted message.
namespace Detail {
/// Main thread: runs synchronous calls as they come until Done() holds. Done() is evaluated under the
/// queue's lock, so it must only read (an atomic flag).
void ServeSynchronousCallsUntil(const std::function<bool()>& Done);
/// Any thread: wakes ServeSynchronousCallsUntil to look at Done() again. Call it after making Done()
/// true.
void NotifyMainThread();
}  // namespace Detail

}  // namespace MainThread
}  // namespace Quorvel
