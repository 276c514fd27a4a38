#include "ThreadPriorityProbe.h"

#include "platform/win32/Windows.h"

namespace Quorvel::Testing {

int CurrentThreadPriority() { return ::GetThreadPriority(::GetCurrentThread()); }

// Windows' priorities of the same names; where the thread started does not matter.
int ExpectedThreadPriority(TThreadPriority Level, int /*Base*/) {
  constexpr int Levels[] = {THREAD_PRIORITY_IDLE,   THREAD_PRIORITY_LOWEST,       THREAD_PRIORITY_BELOW_NORMAL,
                            THREAD_PRIORITY_NORMAL, THREAD_PRIORITY_ABOVE_NORMAL, THREAD_PRIORITY_HIGHEST,
                            THREAD_PRIORITY_TIME_CRITICAL};
  return Levels[Level];
}

}  // namespace Quorvel::Testing
