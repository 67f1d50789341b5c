#include "ucEventLoop.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <thread>
#include <vector>

namespace kelvane {
namespace {

using namespace std::chrono_literals;

TEST(ucEventLoop, RunsPostedWorkInOrderOnTheLoopThread) {
  TEventLoop loop;
  std::vector<int> order;
  std::thread::id workThread;
  std::thread poster([&] {
    for (int i = 0; i < 3; ++i) loop.Post([&, i] { order.push_back(i); });
    loop.Post([&] {
      workThread = std::this_thread::get_id();
      EXPECT_TRUE(loop.IsLoopThread());
      loop.Quit(7);
    });
  });
  EXPECT_EQ(loop.Run(), 7);
  poster.join();
  EXPECT_EQ(order, (std::vector<int>{0, 1, 2}));
  EXPECT_EQ(workThread, std::this_thread::get_id());
  EXPECT_FALSE(loop.IsLoopThread());
}

TEST(ucEventLoop, PostAndWaitReturnsAfterTheWorkAndCarriesItsException) {
  TEventLoop loop;
  std::thread caller([&] {
    int value = 0;
    EXPECT_TRUE(loop.PostAndWait([&] { value = 42; }));
    EXPECT_EQ(value, 42);
    EXPECT_THROW(loop.PostAndWait([] { throw std::runtime_error("broken"); }), std::runtime_error);
    loop.Quit();
  });
  loop.Run();
  caller.join();
  // After the loop has ended nobody runs the work, and nobody waits forever.
  bool ran = false;
  std::thread late([&] { EXPECT_FALSE(loop.PostAndWait([&] { ran = true; })); });
  late.join();
  EXPECT_FALSE(ran);
}

TEST(ucEventLoop, OneShotTimerArmedFromAnotherThreadFiresOnceOnTheLoop) {
  TEventLoop loop;
  std::atomic<int> fired = 0;
  TTimer reboot(loop, 50ms, [&] {});
  TTimer oneShot(loop, 50ms, [&] {
    oneShot.SetEnabled(false);
    EXPECT_TRUE(loop.IsLoopThread());
    ++fired;
  });
  TTimer stop(loop, 300ms, [&] { loop.Quit(); });
  stop.SetEnabled(true);
  std::thread arm([&] {
    oneShot.SetEnabled(true);
    oneShot.SetEnabled(true);  // arming again does not restart or double it
  });
  arm.join();
  loop.Run();
  EXPECT_EQ(fired, 1);
  EXPECT_FALSE(oneShot.Enabled());
}

TEST(ucEventLoop, PeriodicTimerRepeatsAndZeroIntervalNeverFires) {
  TEventLoop loop;
  int ticks = 0;
  int idle = 0;
  TTimer periodic(loop, 10ms, [&] {
    if (++ticks == 3) loop.Quit();
  });
  TTimer zero(loop, 0ms, [&] { ++idle; });
  zero.SetEnabled(true);
  periodic.SetEnabled(true);
  loop.Run();
  EXPECT_EQ(ticks, 3);
  EXPECT_EQ(idle, 0);
}

}  // namespace
}  // namespace kelvane
