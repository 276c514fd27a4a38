#include "TestPlatform.h"

#include <sys/resource.h>

namespace Quorvel::Testing {

bool RunningUnderWine() { return false; }

double ProcessCpuSeconds() {
  rusage Usage{};
  getrusage(RUSAGE_SELF, &Usage);
  return static_cast<double>(Usage.ru_utime.tv_sec + Usage.ru_stime.tv_sec) +
         static_cast<double>(Usage.ru_utime.tv_usec + Usage.ru_stime.tv_usec) / 1e6;
}

}  // namespace Quorvel::Testing
