// What a thread handle does alike on every system; releasing one is each system's own
// (platform/posix/, platform/win32/).
#include <utility>

#include "platform/Threads.h"

namespace Quorvel::Platform {

TThreadHandle::~TThreadHandle() { Release(); }

TThreadHandle::TThreadHandle(TThreadHandle&& Other) noexcept
    : Native_(std::exchange(Other.Native_, 0)), BaseNice_(Other.BaseNice_) {}

TThreadHandle& TThreadHandle::operator=(TThreadHandle&& Other) noexcept {
  if (this != &Other) {
    Release();
    Native_ = std::exchange(Other.Native_, 0);
    BaseNice_ = Other.BaseNice_;
  }
  return *this;
}

}  // namespace Quorvel::Platform
