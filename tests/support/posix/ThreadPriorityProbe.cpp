#include "ThreadPriorityProbe.h"

#include <algorithm>

#include "platform/linux/Niceness.h"

namespace Quorvel::Testing {

int CurrentThreadPriority() { return Platform::Posix::CurrentThreadNice(); }

// Niceness steps from where the thread started, within Linux's range.
int ExpectedThreadPriority(TThreadPriority Level, int Base) {
  constexpr int Steps[] = {19, 10, 5, 0, -5, -10, -15};
  return std::clamp(Base + Steps[Level], -20, 19);
}

}  // namespace Quorvel::Testing
