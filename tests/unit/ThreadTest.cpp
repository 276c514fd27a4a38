#include "runtime/Thread.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <Quorvel/Application.h>
#include "runtime/MessageWindow.h"
#include "ThreadPriorityProbe.h"

using namespace Quorvel;

namespace {

class TBodyThread : public TThread {
 public:
  explicit TBodyThread(std::function<void(TBodyThread&)> Body) : FBody(std::move(Body)) {}
  ~TBodyThread() override { TerminateAndWait(); }  // FBody is ours: stop before it goes
  using TThread::Synchronize;

 protected:
  void Execute() override { FBody(*this); }

 private:
  std::function<void(TBodyThread&)> FBody;
};

class Threads : public ::testing::Test {
 protected:
  void SetUp() override {
    Application::SetExceptionDisplay([this](const std::string& M) {
      Shown.push_back(M);
      ShownOnMain = ShownOnMain && MainThread::IsMainThread();
    });
  }
  void TearDown() override {
    Application::SetExceptionDisplay({});
    MainThread::SetWakeUpHandler({});
  }
  std::vector<std::string> Shown;
  bool ShownOnMain = true;
};

}  // namespace

TEST_F(Threads, WaitForServesSynchronousCallsButDispatchesNoPostedMessage) {
  int Dispatched = 0;
  TMessageWindow Window([&](TMessage&) { ++Dispatched; });
  int Calls = 0;  // only ever touched on the main thread
  std::atomic<int> WakeUps{0};
  MainThread::SetWakeUpHandler([&] { ++WakeUps; });
  TBodyThread Worker([&](TBodyThread& Self) {
    Window.Post(1, 0, {});
    // Each call blocks until the main thread serves it: only WaitFor does, below. The call pumps, as
    // a modal box would, and still must not reach the posted message.
    do Self.Synchronize([&] {
      ++Calls;
      MainThread::ProcessMessages();
    });
    while (!Self.Terminated());
  });
  EXPECT_FALSE(Worker.Finished());
  Worker.Start();
  EXPECT_THROW(Worker.Start(), std::logic_error);
  Worker.TerminateAndWait();
  EXPECT_TRUE(Worker.Finished());
  EXPECT_GE(Calls, 1);
  EXPECT_EQ(Dispatched, 0);
  EXPECT_EQ(WakeUps.load(), 1 + Calls + 1);  // the post, each call, and again after the wait
  MainThread::ProcessMessages();
  EXPECT_EQ(Dispatched, 1);
  Worker.WaitFor();  // again: returns at once
}

TEST_F(Threads, AnExceptionEscapingExecuteIsShownOnTheMainThreadAndEndsIt) {
  TBodyThread Failing([](TBodyThread&) { throw std::runtime_error("worker failed"); });
  TBodyThread Aborting([](TBodyThread&) { throw EAbort(); });
  Failing.Start();
  Aborting.Start();
  Failing.WaitFor();
  Aborting.WaitFor();
  EXPECT_EQ(Shown, (std::vector<std::string>{"worker failed"}));
  EXPECT_TRUE(ShownOnMain);
  EXPECT_TRUE(Failing.Finished() && Aborting.Finished());
}

TEST_F(Threads, PriorityIsAppliedBeforeStartAndWhileRunning) {
  std::vector<int> Priorities;
  TBodyThread Worker([&](TBodyThread& Self) {
    Priorities.push_back(Testing::CurrentThreadPriority());
    Self.Synchronize([&] { Self.SetPriority(tpLowest); });  // from the main thread, while it runs
    Priorities.push_back(Testing::CurrentThreadPriority());
  });
  const int Base = Testing::CurrentThreadPriority();  // what a new thread inherits
  Worker.SetPriority(tpLower);
  Worker.Start();
  Worker.WaitFor();
  EXPECT_EQ(Worker.Priority(), tpLowest);
  // Lowering needs no privilege, so these hold for any user.
  EXPECT_EQ(Priorities, (std::vector<int>{Testing::ExpectedThreadPriority(tpLower, Base),
                                          Testing::ExpectedThreadPriority(tpLowest, Base)}));
}

TEST_F(Threads, BaseDestructorJoinsAThreadNobodyWaitedFor) {
  // A subclass with no state of its own may rely on the base destructor.
  struct TPoster : TThread {
    explicit TPoster(TMessageWindow& W) : Window(W) {}
    TMessageWindow& Window;
    void Execute() override { Window.Post(1, 0, {}); }
  };
  bool Posted = false;
  TMessageWindow Window([&](TMessage&) { Posted = true; });
  auto Thread = std::make_unique<TPoster>(Window);
  Thread->Start();
  ASSERT_TRUE(MainThread::ProcessMessagesUntil([&] { return Posted; }, 10000));
  Thread.reset();  // a joinable std::thread left behind would terminate the program
}
