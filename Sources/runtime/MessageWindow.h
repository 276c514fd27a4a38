#pragma once
// Message targets on the main thread's queue: the library's counterpart of a hidden window. A
// connection's worker posts its finished transactions, frame copies and port notices to the
// connection's window; the main thread dispatches them in ProcessMessages (Messages.h).

#include <cstdint>
#include <functional>
#include <memory>
#include <typeinfo>
#include <utility>

#include <Quorvel/Messages.h>
#include <Quorvel/Types.h>

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
class TMessageWindow {
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
  /// Any thread. Queues the message even beyond MaxPostedMessages: for messages that must never be lost
  /// and whose number the poster bounds itself (a finished transaction, one per request the main thread
  /// made; a notice, once per opening). Only running out of memory can refuse it (std::bad_alloc).
  void PostAlways(Cardinal Msg, std::uintptr_t WParam, TMessagePayload LParam);

 private:
  bool Enqueue(Cardinal Msg, std::uintptr_t WParam, TMessagePayload LParam, bool Bounded);

  std::shared_ptr<MainThread::Detail::TWindowCore> FCore;
};

namespace MainThread {

// For TThread: the thread-end wait, which serves synchronous calls but dispatches no posted message.
namespace Detail {
/// Main thread: runs synchronous calls as they come until Done() holds. Done() is evaluated under the
/// queue's lock, so it must only read (an atomic flag).
void ServeSynchronousCallsUntil(const std::function<bool()>& Done);
/// Any thread: wakes ServeSynchronousCallsUntil to look at Done() again. Call it after making Done()
/// true.
void NotifyMainThread();
/// Any thread: queues Call like Post, beyond MaxPostedMessages too: for a poster that bounds its own
/// number (a request's end, once per request).
void PostAlways(std::function<void()> Call);
/// Whether the calling thread is the main thread and pumps the queue: inside ProcessMessages, or
/// with an event loop's wake-up handler installed. A wait there for something the queue must
/// deliver would never end.
bool IsPumping();
}  // namespace Detail

}  // namespace MainThread
}  // namespace Quorvel
