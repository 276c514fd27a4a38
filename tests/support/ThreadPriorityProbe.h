#pragma once
// A thread's priority as the operating system reports it, for checks of TThread::SetPriority.

#include "runtime/Thread.h"

namespace Quorvel::Testing {

// The calling thread's priority: its niceness on Linux, GetThreadPriority on Windows.
int CurrentThreadPriority();

// What a thread that started with the priority Base reports after SetPriority(Level), where the
// system lets an unprivileged caller have it (lowering always is).
int ExpectedThreadPriority(TThreadPriority Level, int Base);

}  // namespace Quorvel::Testing
