// Linux gives each thread of normal scheduling its own niceness, addressed by its task id, so a
// per-thread priority is a setpriority() on that id (pthread priorities are meaningless for
// SCHED_OTHER, and a real-time policy would starve the rest of the machine).
#include "platform/Threads.h"

#include <pthread.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace Quorvel::Platform {

long CurrentThreadId() { return static_cast<long>(::syscall(SYS_gettid)); }

int CurrentThreadNice() {
  // -1 is a legitimate niceness, so only errno tells a failure apart.
  errno = 0;
  const int Nice = ::getpriority(PRIO_PROCESS, 0);
  return (Nice == -1 && errno != 0) ? 0 : Nice;
}

void SetThreadNice(long ThreadId, int Nice) {
  if (ThreadId <= 0) return;
  Nice = std::clamp(Nice, -20, 19);
  // A refusal (raising priority without CAP_SYS_NICE, a task that has just ended) leaves the thread
  // as it was, which is all "best effort" promises.
  (void)::setpriority(PRIO_PROCESS, static_cast<id_t>(ThreadId), Nice);
}

void SetCurrentThreadName(const char* Name) {
  char Short[16] = {};
  for (int I = 0; I < 15 && Name[I] != '\0'; ++I) Short[I] = Name[I];
  (void)::pthread_setname_np(::pthread_self(), Short);
}

}  // namespace Quorvel::Platform
