// Wake-up events, the millisecond clock and descriptor checks of the POSIX layer.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <system_error>
#include <thread>

#include "platform/Clock.h"
#include "platform/Event.h"
#include "platform/Handles.h"

namespace Quorvel::Platform {
namespace {

using namespace std::chrono_literals;
using TClock = std::chrono::steady_clock;

Cardinal MsSince(TClock::time_point Start) {
  return static_cast<Cardinal>(std::chrono::duration_cast<std::chrono::milliseconds>(TClock::now() - Start).count());
}

TEST(PlatformEventTest, AutoResetKeepsASignalGivenWhileNobodyWaitsAndGivesItToOneWait) {
  TEventObject Event(false);
  EXPECT_FALSE(Event.Wait(0));
  Event.Set();
  Event.Set();  // counts as one signal
  EXPECT_TRUE(Event.Wait(Infinite));
  const auto Start = TClock::now();
  EXPECT_FALSE(Event.Wait(40));
  EXPECT_GE(MsSince(Start), 35u);
}

TEST(PlatformEventTest, ManualResetStaysSignalledUntilReset) {
  TEventObject Event(true);
  Event.Set();
  EXPECT_TRUE(Event.Wait(0));
  EXPECT_TRUE(Event.Wait(Infinite));
  EXPECT_TRUE(Event.ConsumeIfSignalled());
  EXPECT_TRUE(Event.ConsumeIfSignalled());
  Event.Reset();
  EXPECT_FALSE(Event.Wait(0));
  EXPECT_FALSE(Event.ConsumeIfSignalled());
}

TEST(PlatformEventTest, ConsumeIfSignalledTakesAnAutoResetSignalOnce) {
  TEventObject Event(false);
  EXPECT_FALSE(Event.ConsumeIfSignalled());
  Event.Set();
  EXPECT_TRUE(Event.ConsumeIfSignalled());
  EXPECT_FALSE(Event.ConsumeIfSignalled());
  EXPECT_FALSE(Event.Wait(0));
}

TEST(PlatformEventTest, ResetDiscardsAPendingAutoResetSignal) {
  TEventObject Event(false);
  Event.Set();
  Event.Reset();
  EXPECT_FALSE(Event.Wait(10));
}

TEST(PlatformEventTest, SetFromAnotherThreadEndsAnEndlessWait) {
  for (const bool Manual : {false, true}) {
    SCOPED_TRACE(Manual ? "manual reset" : "auto reset");
    TEventObject Event(Manual);
    auto Waiter = std::async(std::launch::async, [&] { return Event.Wait(Infinite); });
    EXPECT_EQ(Waiter.wait_for(50ms), std::future_status::timeout);
    Event.Set();
    ASSERT_EQ(Waiter.wait_for(10s), std::future_status::ready);
    EXPECT_TRUE(Waiter.get());
    EXPECT_EQ(Event.Wait(0), Manual);
  }
}

TEST(PlatformEventTest, OneAutoResetSignalReleasesExactlyOneOfTwoWaiters) {
  TEventObject Event(false);
  auto First = std::async(std::launch::async, [&] { return Event.Wait(400); });
  auto Second = std::async(std::launch::async, [&] { return Event.Wait(400); });
  std::this_thread::sleep_for(50ms);
  Event.Set();
  EXPECT_EQ(int(First.get()) + int(Second.get()), 1);
}

TEST(PlatformEventTest, DescriptorIsReadableExactlyWhileSignalled) {
  TEventObject Event(false);
  pollfd Fd{Event.Handle(), POLLIN, 0};
  EXPECT_EQ(::poll(&Fd, 1, 0), 0);
  Event.Set();
  EXPECT_EQ(::poll(&Fd, 1, 0), 1);
  EXPECT_TRUE(Event.ConsumeIfSignalled());
  EXPECT_EQ(::poll(&Fd, 1, 0), 0);
}

TEST(PlatformClockTest, TickCountFollowsSleep) {
  const Cardinal Start = TickCount();
  SleepMs(30);
  // Unsigned subtraction: right across the 32-bit wrap as well.
  EXPECT_GE(static_cast<Cardinal>(TickCount() - Start), 30u);
  const auto Before = TClock::now();
  SleepMs(0);
  SleepMs(20);
  EXPECT_GE(MsSince(Before), 19u);
}

TEST(PlatformHandlesTest, CheckHandlePassesDescriptorsAndRaisesTheErrorOfAFailure) {
  const int Fd = CheckHandle(::open("/dev/null", O_RDONLY | O_CLOEXEC));
  EXPECT_GE(Fd, 0);
  ::close(Fd);
  try {
    CheckHandle(::open("/nonexistent/quorvel", O_RDONLY | O_CLOEXEC));
    FAIL() << "no exception";
  } catch (const std::system_error& Error) {
    EXPECT_EQ(Error.code(), std::errc::no_such_file_or_directory);
  }
}

TEST(PlatformHandlesTest, SafeCloseHandleClosesOnceAndIgnoresInvalid) {
  int Fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  ASSERT_GE(Fd, 0);
  const int Number = Fd;
  SafeCloseHandle(Fd);
  EXPECT_EQ(Fd, -1);
  EXPECT_EQ(::fcntl(Number, F_GETFD), -1);
  SafeCloseHandle(Fd);
  EXPECT_EQ(Fd, -1);
}

}  // namespace
}  // namespace Quorvel::Platform
