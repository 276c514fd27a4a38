#pragma once
// The operating system's side of the library's threads: their priority and their name. Everything
// here is best effort: a refusal (missing privilege, a thread that has ended) is ignored, because a
// thread that keeps its priority still works correctly, only with other timing.

#include <cstdint>

#include <Quorvel/ThreadPriority.h>

namespace Quorvel::Platform {

// A running thread, as other threads address it to change its priority. A thread takes its own
// (OfCallingThread) when it starts and drops it before it ends, so that a priority is never set
// on an id that the system may meanwhile have given to another thread.
class TThreadHandle {
 public:
  TThreadHandle() = default;  // no thread: SetPriority does nothing
  static TThreadHandle OfCallingThread();
  ~TThreadHandle();
  TThreadHandle(TThreadHandle&& Other) noexcept;
  TThreadHandle& operator=(TThreadHandle&& Other) noexcept;
  TThreadHandle(const TThreadHandle&) = delete;
  TThreadHandle& operator=(const TThreadHandle&) = delete;

  // Linux: a niceness step relative to the niceness the thread started with (normal scheduling
  // only, never a real-time policy). Windows: the thread priority of the same name.
  void SetPriority(TThreadPriority Level) const noexcept;

 private:
  void Release() noexcept;

  // Linux: the kernel's task id; Windows: a thread HANDLE of this object's own. 0: none.
  std::intptr_t Native_ = 0;
  // Linux: the niceness the thread started with.
  int BaseNice_ = 0;
};

// Names the calling thread for debuggers and process viewers (at most 15 characters are kept).
void SetCurrentThreadName(const char* Name);

}  // namespace Quorvel::Platform
