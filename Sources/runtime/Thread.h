#pragma once
// A worker thread with a terminate request, a priority and synchronous calls to the main thread.
//
// Lifetime: Execute() runs on the new thread and uses the object, so the object must outlive it.
// The base destructor terminates and waits as a safety net, but by then the subclass part is gone:
// a subclass whose Execute() uses its own members (or waits on something that Terminate() alone does
// not wake) must wake it and call TerminateAndWait() in its own destructor. Never destroy the object
// from its own Execute().

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include <Quorvel/ThreadPriority.h>

namespace Quorvel {

namespace Platform {
class TThreadHandle;
}

// A thread of the library's own: see the file's description.
class TThread {
 public:
  TThread();  ///< created suspended: nothing runs until Start()
  virtual ~TThread();
  TThread(const TThread&) = delete;
  TThread& operator=(const TThread&) = delete;

  /// Runs Execute() on a new thread. Once only: a second call throws std::logic_error. A thread that
  /// the system cannot create raises std::system_error.
  void Start();

  /// Asks Execute() to end; it looks at Terminated() when it sees fit.
  ///@{
  void Terminate() { FTerminated.store(true); }
  bool Terminated() const { return FTerminated.load(); }
  ///@}

  /// Before or after Start. On Linux the levels are niceness steps relative to the niceness the thread
  /// started with (+19, +10, +5, 0, -5, -10, -15, within the system's range); on Windows the thread
  /// priorities of the same names. Best effort: raising priority may need privilege, and a refusal
  /// is ignored. Never a real-time policy on Linux.
  ///@{
  void SetPriority(TThreadPriority Value);
  TThreadPriority Priority() const { return FPriority.load(); }
  ///@}

  /// Blocks until Execute() has returned. On the main thread it serves the synchronous calls of all
  /// workers meanwhile (so a worker inside Synchronize can always finish), but dispatches no posted
  /// message. Returns at once for a thread never started.
  ///@{
  void WaitFor();
  void TerminateAndWait() {
    Terminate();
    WaitFor();
  }
  ///@}
  /// True once Execute() has returned (and an exception escaping it has been shown).
  bool Finished() const { return FFinished.load(); }

 protected:
  /// The thread body. An exception escaping it is shown on the main thread with
  /// Application::HandleException (nothing for EAbort) and the thread ends; a worker that must go on
  /// after a failure catches its own.
  virtual void Execute() = 0;
  /// Runs Call on the main thread and waits (MainThread::Synchronize).
  void Synchronize(const std::function<void()>& Call);

 private:
  void Run();
  void ApplyPriority();  ///< with FPriorityLock held

  std::thread FThread;
  std::once_flag FJoined;
  std::atomic<bool> FStarted{false};
  std::atomic<bool> FTerminated{false};
  std::atomic<bool> FFinished{false};
  std::atomic<TThreadPriority> FPriority{tpNormal};
  /// Guards the running thread's system handle against SetPriority, so that a priority is never set
  /// on an id that the system may already have given to another thread.
  ///@{
  std::mutex FPriorityLock;
  std::unique_ptr<Platform::TThreadHandle> FOsThread;
  ///@}
};

}  // namespace Quorvel
