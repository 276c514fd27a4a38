#include "runtime/Thread.h"

#include <stdexcept>

#include <Quorvel/Application.h>
#include "platform/Threads.h"
#include "runtime/MessageWindow.h"

namespace Quorvel {

TThread::TThread() = default;

TThread::~TThread() {
  if (FStarted.load()) TerminateAndWait();
}

void TThread::Start() {
  if (FStarted.exchange(true)) throw std::logic_error("Thread already started");
  try {
    FThread = std::thread([this] { Run(); });
  } catch (...) {
    FStarted.store(false);
    throw;
  }
}

void TThread::Run() {
  {
    std::lock_guard Guard(FPriorityLock);
    FOsThread = std::make_unique<Platform::TThreadHandle>(Platform::TThreadHandle::OfCallingThread());
    ApplyPriority();
  }
  try {
    Execute();
  } catch (...) {
    // Shown on the main thread through a synchronous call; the WaitFor of a closing owner serves it.
    Application::HandleException(std::current_exception());
  }
  {
    std::lock_guard Guard(FPriorityLock);
    FOsThread.reset();
  }
  FFinished.store(true);
  MainThread::Detail::NotifyMainThread();
}

void TThread::SetPriority(TThreadPriority Value) {
  std::lock_guard Guard(FPriorityLock);
  FPriority.store(Value);
  ApplyPriority();
}

void TThread::ApplyPriority() {
  if (FOsThread) FOsThread->SetPriority(FPriority.load());
}

void TThread::WaitFor() {
  if (!FStarted.load()) return;
  if (MainThread::IsMainThread()) MainThread::Detail::ServeSynchronousCallsUntil([this] { return FFinished.load(); });
  std::call_once(FJoined, [this] { FThread.join(); });
}

void TThread::Synchronize(const std::function<void()>& Call) { MainThread::Synchronize(Call); }

}  // namespace Quorvel
