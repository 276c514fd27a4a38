#include "platform/Threads.h"

#include <cstddef>
#include <iterator>

#include "platform/win32/Windows.h"

namespace Quorvel::Platform {

namespace {

// tpIdle .. tpTimeCritical: the levels carry the names of Windows' own.
constexpr int Levels[] = {THREAD_PRIORITY_IDLE,         THREAD_PRIORITY_LOWEST,  THREAD_PRIORITY_BELOW_NORMAL,
                          THREAD_PRIORITY_NORMAL,       THREAD_PRIORITY_ABOVE_NORMAL, THREAD_PRIORITY_HIGHEST,
                          THREAD_PRIORITY_TIME_CRITICAL};

HANDLE AsHandle(std::intptr_t Native) { return reinterpret_cast<HANDLE>(Native); }

}  // namespace

TThreadHandle TThreadHandle::OfCallingThread() {
  // GetCurrentThread is a pseudo handle that means "the caller" to whoever uses it: other threads
  // need a real handle of their own.
  HANDLE Real = nullptr;
  TThreadHandle Handle;
  if (::DuplicateHandle(::GetCurrentProcess(), ::GetCurrentThread(), ::GetCurrentProcess(), &Real,
                        THREAD_SET_INFORMATION | THREAD_QUERY_INFORMATION, FALSE, 0))
    Handle.Native_ = reinterpret_cast<std::intptr_t>(Real);
  return Handle;
}

void TThreadHandle::Release() noexcept {
  if (Native_ != 0) ::CloseHandle(AsHandle(Native_));
  Native_ = 0;
}

void TThreadHandle::SetPriority(TThreadPriority Level) const noexcept {
  const auto Index = static_cast<std::size_t>(Level);
  if (Native_ == 0 || Index >= std::size(Levels)) return;
  // Best effort: a refusal leaves the thread as it was.
  (void)::SetThreadPriority(AsHandle(Native_), Levels[Index]);
}

void SetCurrentThreadName(const char* Name) {
  // SetThreadDescription came with Windows 10 1607, and MinGW's headers do not declare it: look it up.
  using TSetThreadDescription = HRESULT(WINAPI*)(HANDLE, PCWSTR);
  const HMODULE Kernel = ::GetModuleHandleW(L"kernel32.dll");
  if (Kernel == nullptr) return;
  const auto Set = reinterpret_cast<TSetThreadDescription>(
      reinterpret_cast<void*>(::GetProcAddress(Kernel, "SetThreadDescription")));
  if (Set == nullptr) return;
  wchar_t Wide[16] = {};
  for (int I = 0; I < 15 && Name[I] != '\0'; ++I) Wide[I] = static_cast<unsigned char>(Name[I]);
  (void)Set(::GetCurrentThread(), Wide);
}

}  // namespace Quorvel::Platform
