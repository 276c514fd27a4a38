#include "TestPlatform.h"

#include "platform/win32/Windows.h"

namespace Quorvel::Testing {

// Wine's ntdll exports wine_get_version; Windows' does not.
bool RunningUnderWine() {
  const HMODULE Ntdll = ::GetModuleHandleW(L"ntdll.dll");
  return Ntdll != nullptr && ::GetProcAddress(Ntdll, "wine_get_version") != nullptr;
}

double ProcessCpuSeconds() {
  FILETIME Created, Exited, Kernel, User;
  if (!::GetProcessTimes(::GetCurrentProcess(), &Created, &Exited, &Kernel, &User)) return 0;
  const auto Seconds = [](const FILETIME& Time) {
    return static_cast<double>((static_cast<unsigned long long>(Time.dwHighDateTime) << 32) | Time.dwLowDateTime) / 1e7;
  };
  return Seconds(Kernel) + Seconds(User);
}

}  // namespace Quorvel::Testing
