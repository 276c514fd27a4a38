// The worker allocates nothing per frame, except the frame-data cells that the frame events ask for.

#include <sys/prctl.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>

#include "LineFixture.h"
#include "TestBytes.h"

namespace {

std::atomic<bool> Counting{false};
std::atomic<long> WorkerAllocations{0};

void CountIfWorker() {
  if (!Counting.load(std::memory_order_relaxed)) return;
  char Name[16] = {};
  if (prctl(PR_GET_NAME, Name) == 0 && std::strcmp(Name, "quorvel-worker") == 0) ++WorkerAllocations;
}

}  // namespace

void* operator new(std::size_t Size) {
  CountIfWorker();
  if (void* P = std::malloc(Size != 0 ? Size : 1)) return P;
  throw std::bad_alloc();
}
void* operator new[](std::size_t Size) {
  CountIfWorker();
  if (void* P = std::malloc(Size != 0 ? Size : 1)) return P;
  throw std::bad_alloc();
}
void operator delete(void* P) noexcept { std::free(P); }
void operator delete[](void* P) noexcept { std::free(P); }
void operator delete(void* P, std::size_t) noexcept { std::free(P); }
void operator delete[](void* P, std::size_t) noexcept { std::free(P); }

using namespace Quorvel;
using namespace QuorvelTest;

class WorkerAllocation : public LineTest {
 protected:
  // Runs Count read requests against a device that answers each, and returns what the worker
  // allocated meanwhile.
  long AllocationsFor(int Count) {
    const TFrameData Reply = WithCrc(Hex("01 03 02 00 2A"));
    TDevice Device(Line.PortB(), [Count, &Reply](Testing::TLinePeer& Peer) {
      for (int I = 0; I < Count; ++I) {
        if (Peer.ReadFrame(10ms, 3000ms).empty()) return;
        Peer.Write(Reply);
      }
    });
    const std::size_t Before = Client.Replies.size();
    WorkerAllocations = 0;
    Counting = true;
    for (int I = 0; I < Count; ++I) Submit(Hex("03 00 00 00 01"));
    const bool AllDone = PumpUntil([&] { return Client.Replies.size() == Before + static_cast<std::size_t>(Count); }, 20000);
    Counting = false;
    EXPECT_TRUE(AllDone);
    for (std::size_t I = Before; I < Client.Replies.size(); ++I) EXPECT_EQ(Client.Replies[I].Info.ReplyStatus, rsSuccess);
    return WorkerAllocations.load();
  }
};

TEST_F(WorkerAllocation, NoneWithoutFrameEvents) {
  Connection.SetOnFrameSend(nullptr);
  Connection.SetOnFrameReceive(nullptr);
  Connection.Open();
  Client.Replies.reserve(64);
  AllocationsFor(4);  // queues reach their working size
  EXPECT_EQ(AllocationsFor(20), 0);
}

TEST_F(WorkerAllocation, OnlyTheCellsOfTheFrameEvents) {
  Connection.Open();
  Client.Replies.reserve(64);
  Sent.reserve(64);
  Received.reserve(64);
  AllocationsFor(4);
  const std::size_t SentBefore = Sent.size(), ReceivedBefore = Received.size();
  const long Allocations = AllocationsFor(10);
  // Each cell is a vector and, unless empty (a time-out), its bytes: one cell per frame sent and one
  // per frame received. A loaded machine may split a reply and retry: those frames have cells too.
  long Expected = 0;
  for (std::size_t I = SentBefore; I < Sent.size(); ++I) Expected += Sent[I].empty() ? 1 : 2;
  for (std::size_t I = ReceivedBefore; I < Received.size(); ++I) Expected += Received[I].empty() ? 1 : 2;
  EXPECT_GE(Sent.size() - SentBefore, 10u);
  EXPECT_EQ(Allocations, Expected);
}
