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
#include <cstddef>
#include <iterator>

#include "platform/linux/Niceness.h"

namespace Quorvel::Platform {

namespace {

// tpIdle .. tpTimeCritical as steps of niceness from where the thread started.
constexpr int NiceSteps[] = {19, 10, 5, 0, -5, -10, -15};

}  // namespace

int Posix::CurrentThreadNice() noexcept {
  // -1 is a legitimate niceness, so only errno tells a failure apart.
  errno = 0;
  const int Nice = ::getpriority(PRIO_PROCESS, 0);
  return (Nice == -1 && errno != 0) ? 0 : Nice;
}

TThreadHandle TThreadHandle::OfCallingThread() {
  TThreadHandle Handle;
  Handle.Native_ = static_cast<std::intptr_t>(::syscall(SYS_gettid));
  Handle.BaseNice_ = Posix::CurrentThreadNice();
  return Handle;
}

// A task id is no resource: forgetting it is all there is to do.
void TThreadHandle::Release() noexcept { Native_ = 0; }

void TThreadHandle::SetPriority(TThreadPriority Level) const noexcept {
  const auto Index = static_cast<std::size_t>(Level);
  if (Native_ <= 0 || Index >= std::size(NiceSteps)) return;
  const int Nice = std::clamp(BaseNice_ + NiceSteps[Index], -20, 19);
  // A refusal (raising priority without CAP_SYS_NICE, a task that has just ended) leaves the thread
  // as it was, which is all "best effort" promises.
  (void)::setpriority(PRIO_PROCESS, static_cast<id_t>(Native_), Nice);
}

void SetCurrentThreadName(const char* Name) {
  char Short[16] = {};
  for (int I = 0; I < 15 && Name[I] != '\0'; ++I) Short[I] = Name[I];
  (void)::pthread_setname_np(::pthread_self(), Short);
}

}  // namespace Quorvel::Platform
