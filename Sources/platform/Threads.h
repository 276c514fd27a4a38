#pragma once
// The operating system's view of a running thread: its kernel id and its scheduling niceness.
// Everything here is best effort: a refusal (missing privilege, a thread that has ended) is ignored,
// because a thread that keeps its priority still works correctly, only with other timing.

namespace Quorvel::Platform {

// The kernel's id of the calling thread (on Linux the task id, not a pthread handle), usable by
// other threads for as long as this thread runs.
long CurrentThreadId();

// The niceness the calling thread runs with now (inherited from its creator at start); 0 when the
// system will not tell.
int CurrentThreadNice();

// Gives the thread ThreadId the niceness Nice (clamped to the system's range). Normal scheduling
// only: never a real-time policy.
void SetThreadNice(long ThreadId, int Nice);

// Names the calling thread for debuggers, top and ps (at most 15 characters are kept).
void SetCurrentThreadName(const char* Name);

}  // namespace Quorvel::Platform
