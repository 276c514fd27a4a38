#pragma once
// The check behind every call of the library that only the main thread may make.

#include <stdexcept>
#include <string>

#include <Quorvel/Messages.h>

namespace Quorvel {

// Throws std::logic_error "<What> must run on the main thread" on any other thread.
inline void RequireMainThread(const char* What) {
  if (!MainThread::IsMainThread()) throw std::logic_error(std::string(What) + " must run on the main thread");
}

}  // namespace Quorvel
