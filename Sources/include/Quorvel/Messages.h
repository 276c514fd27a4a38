#pragma once
/// @file
/// The main thread's message queue: the library's counterpart of a hidden window.
///
/// Worker threads never call into components. They talk back in two ways:
/// - posting: queued, run later by the main thread (MainThread::Post; the library's connections
///   post their results the same way);
/// - a synchronous call (MainThread::Synchronize): the main thread runs it while the worker waits.
/// The two live in separate queues because they are served at different times: waiting for a worker
/// to end serves synchronous calls, so a worker blocked in one can always finish, but it must not
/// dispatch posted messages, which would reach components in the middle of being closed.
///
/// An event loop plugs in through SetWakeUpHandler (the Qt utility schedules ProcessMessages on its
/// own loop); console tools and tests pump with ProcessMessages, WaitForMessages or
/// ProcessMessagesUntil.

#include <cstddef>
#include <cstdint>
#include <functional>

#include <Quorvel/Export.h>
#include <Quorvel/Types.h>

namespace Quorvel {

namespace MainThread {

/// How many posted messages may wait at once, over the whole process; more are refused (Post returns
/// false), except what the library's connections must never lose: a finished transaction (one per
/// request the main thread made) and a notice of the port's state (once per opening).
inline constexpr std::size_t MaxPostedMessages = 10000;

/// The main thread is the thread that ran the program's static initialisation, which on every platform
/// we build for is the thread that runs main(). The library records it then; nothing can change it.
QUORVEL_EXPORT bool IsMainThread();

// The functions marked "main thread" throw std::logic_error on any other thread.

/// Main thread: runs the pending synchronous calls, then dispatches the messages posted so far (not
/// those that the handlers post meanwhile, so a handler that posts to itself cannot starve the
/// caller). An exception escaping a handler goes to Application::HandleException and dispatching goes
/// on. May be re-entered from a handler (a modal box running a nested loop). Inside a thread-end wait
/// (a synchronous call that shows a modal box while the main thread waits for a worker to end) it runs synchronous
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
/// end. Called on the main thread, it runs Call directly.
QUORVEL_EXPORT void Synchronize(const std::function<void()>& Call);

/// Any thread: queues Call to run on the main thread, in the order of all posted messages, and
/// returns at once. False when it cannot be queued because MaxPostedMessages are already waiting
/// (the main thread is not pumping). An exception escaping Call goes to
/// Application::HandleException. A console program's signal watcher uses it to wake the pump.
QUORVEL_EXPORT bool Post(std::function<void()> Call);


}  // namespace MainThread
}  // namespace Quorvel
