#include "runtime/MessageWindow.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <Quorvel/Application.h>
#include <Quorvel/Errors.h>

using namespace Quorvel;

namespace {

struct TCounted {
  static inline std::atomic<int> Destroyed{0};
  int Value;
  explicit TCounted(int V) : Value(V) {}
  ~TCounted() { ++Destroyed; }
};

TMessagePayload Counted(int Value) { return TMessagePayload::Of(std::make_unique<TCounted>(Value)); }

constexpr Cardinal Patience = 10000;  // ms; only ever reached when something is broken

class MainThreadQueue : public ::testing::Test {
 protected:
  void SetUp() override {
    TCounted::Destroyed = 0;
    Application::SetExceptionDisplay([this](const std::string& M) { Shown.push_back(M); });
  }
  void TearDown() override {
    MainThread::SetWakeUpHandler({});
    Application::SetExceptionDisplay({});
  }
  std::vector<std::string> Shown;
};

}  // namespace

TEST_F(MainThreadQueue, DispatchesInPostOrderAcrossWindowsAndFreesUntakenPayloads) {
  std::vector<std::string> Seen;
  TMessageWindow A([&](TMessage& M) {
    EXPECT_EQ(M.LParam.Take<int>(), nullptr);  // not what it holds: it keeps it
    auto Object = M.LParam.Take<TCounted>();
    Seen.push_back("A" + std::to_string(M.Msg) + ":" + std::to_string(M.WParam) + ":" + std::to_string(Object->Value));
  });
  TMessageWindow B([&](TMessage& M) { Seen.push_back("B" + std::to_string(M.Msg)); });  // leaves its payload
  EXPECT_TRUE(A.Post(1025, 1, Counted(10)));
  EXPECT_TRUE(B.Post(1026, 0, Counted(20)));
  EXPECT_TRUE(A.Post(1027, 2, Counted(30)));
  EXPECT_TRUE(MainThread::WaitForMessages(0));
  MainThread::ProcessMessages();
  EXPECT_EQ(Seen, (std::vector<std::string>{"A1025:1:10", "B1026", "A1027:2:30"}));
  EXPECT_EQ(TCounted::Destroyed, 3);
  EXPECT_FALSE(MainThread::WaitForMessages(20));
}

TEST_F(MainThreadQueue, NothingReachesADestroyedWindowAndItsPayloadsAreFreed) {
  int Dispatched = 0;
  auto Doomed = std::make_unique<TMessageWindow>([&](TMessage&) { ++Dispatched; });
  std::unique_ptr<TMessageWindow> Self;
  TMessageWindow Killer([&](TMessage&) {
    Doomed.reset();  // destroyed by an earlier message of the same round
    Self.reset();    // and a window destroyed by its own handler
  });
  std::string Said;
  // The handler goes on using its own captures after destroying its window.
  Self = std::make_unique<TMessageWindow>([&, Word = std::string("still running")](TMessage&) {
    Self.reset();
    Said += Word;
  });
  ASSERT_TRUE(Self->Post(1, 0, Counted(1)));
  ASSERT_TRUE(Self->Post(2, 0, Counted(2)));
  MainThread::ProcessMessages();
  EXPECT_EQ(Self, nullptr);
  EXPECT_EQ(Said, "still running");
  EXPECT_EQ(TCounted::Destroyed, 2);

  Self = std::make_unique<TMessageWindow>([&](TMessage&) { ++Dispatched; });
  ASSERT_TRUE(Killer.Post(1, 0, Counted(0)));
  ASSERT_TRUE(Doomed->Post(2, 0, Counted(0)));
  ASSERT_TRUE(Self->Post(3, 0, Counted(0)));
  MainThread::ProcessMessages();
  EXPECT_EQ(Dispatched, 0);
  EXPECT_EQ(TCounted::Destroyed, 5);
  EXPECT_FALSE(MainThread::WaitForMessages(0));
}

TEST_F(MainThreadQueue, ARoundDispatchesOnlyWhatWasQueuedWhenItBegan) {
  int Count = 0;
  std::unique_ptr<TMessageWindow> Echo;
  Echo = std::make_unique<TMessageWindow>([&](TMessage&) {
    ++Count;
    Echo->Post(1, 0, {});
  });
  Echo->Post(1, 0, {});
  MainThread::ProcessMessages();
  EXPECT_EQ(Count, 1);
  MainThread::ProcessMessages();
  EXPECT_EQ(Count, 2);
  Echo.reset();
}

TEST_F(MainThreadQueue, AFullQueueRefusesAndFreesThePayload) {
  TMessageWindow Window([](TMessage&) {});
  for (std::size_t I = 0; I < MainThread::MaxPostedMessages; ++I) ASSERT_TRUE(Window.Post(1, 0, {}));
  EXPECT_FALSE(Window.Post(1, 0, Counted(0)));
  EXPECT_EQ(TCounted::Destroyed, 1);
  MainThread::ProcessMessages();
  EXPECT_TRUE(Window.Post(1, 0, {}));
}

TEST_F(MainThreadQueue, HandlerExceptionsGoToTheDisplayAndDispatchingGoesOn) {
  std::vector<int> Reached;
  TMessageWindow Window([&](TMessage& M) {
    Reached.push_back(static_cast<int>(M.Msg));
    if (M.Msg == 1) throw EQuorvelError("Connection MUST be active for the requested action to be performed");
    if (M.Msg == 2) throw EAbort();
    if (M.Msg == 3) throw 42;
  });
  for (Cardinal Msg : {1u, 2u, 3u, 4u}) Window.Post(Msg, 0, {});
  MainThread::ProcessMessages();
  EXPECT_EQ(Reached, (std::vector<int>{1, 2, 3, 4}));
  EXPECT_EQ(Shown, (std::vector<std::string>{"Connection MUST be active for the requested action to be performed",
                                             "Unknown exception"}));
}

TEST_F(MainThreadQueue, WorkersPostConcurrentlyAndEachKeepsItsOrder) {
  constexpr int Workers = 4, PerWorker = 500;
  std::vector<std::vector<int>> Received(Workers);
  int Total = 0;
  TMessageWindow Window([&](TMessage& M) {
    if (M.Msg != 9) return;
    Received[M.WParam].push_back(M.LParam.Take<TCounted>()->Value);
    ++Total;
  });
  std::atomic<int> WakeUps{0};
  MainThread::SetWakeUpHandler([&] { ++WakeUps; });
  std::vector<std::thread> Threads;
  for (int W = 0; W < Workers; ++W)
    Threads.emplace_back([&, W] {
      EXPECT_FALSE(MainThread::IsMainThread());
      for (int I = 0; I < PerWorker; ++I) Window.Post(9, static_cast<std::uintptr_t>(W), Counted(I));
    });
  EXPECT_TRUE(MainThread::ProcessMessagesUntil([&] { return Total == Workers * PerWorker; }, Patience));
  for (auto& T : Threads) T.join();
  EXPECT_EQ(WakeUps.load(), Workers * PerWorker);
  std::vector<int> InOrder(PerWorker);
  for (int I = 0; I < PerWorker; ++I) InOrder[static_cast<std::size_t>(I)] = I;
  for (const auto& List : Received) EXPECT_EQ(List, InOrder);
  // Removed: no longer called.
  MainThread::SetWakeUpHandler({});
  Window.Post(1, 0, {});
  EXPECT_EQ(WakeUps.load(), Workers * PerWorker);
  MainThread::ProcessMessages();
}

TEST_F(MainThreadQueue, SynchronizeRunsOnTheMainThreadAndCarriesExceptionsBack) {
  std::atomic<int> WakeUps{0};
  MainThread::SetWakeUpHandler([&] { ++WakeUps; });
  bool RanOnMain = false;
  std::string Caught;
  bool Finished = false;
  TMessageWindow Done([&](TMessage&) { Finished = true; });
  std::thread Worker([&] {
    MainThread::Synchronize([&] { RanOnMain = MainThread::IsMainThread(); });
    try {
      MainThread::Synchronize([] { RaiseErrorFmt("Buffer size is invalid (%d)", -1); });
    } catch (const EQuorvelError& E) {
      Caught = E.what();
    }
    EXPECT_THROW(MainThread::ProcessMessages(), std::logic_error);
    Done.Post(1, 0, {});
  });
  EXPECT_TRUE(MainThread::ProcessMessagesUntil([&] { return Finished; }, Patience));
  Worker.join();
  EXPECT_TRUE(RanOnMain);
  EXPECT_EQ(Caught, "Buffer size is invalid (-1)");
  EXPECT_EQ(WakeUps.load(), 3);  // two calls and one post
  EXPECT_TRUE(Shown.empty());

  bool Direct = false;
  MainThread::Synchronize([&] { Direct = true; });  // on the main thread: at once
  EXPECT_TRUE(Direct);
}
