#pragma once
// The niceness of the calling thread, as Linux schedules it; for checks of the thread priorities.

namespace Quorvel::Platform::Posix {

// The niceness the calling thread runs with now (inherited from its creator at start); 0 when the
// system will not tell.
int CurrentThreadNice() noexcept;

}  // namespace Quorvel::Platform::Posix
