#include "ucSignals.h"

#include <gtest/gtest.h>

#include <csignal>
#include <future>
#include <stdexcept>
#include <thread>

namespace kelvane {
namespace {

TEST(ucSignals, TerminationRequestsReachTheCallbackOnItsOwnThread) {
  std::promise<std::string> received;
  auto name = received.get_future();
  std::thread::id callbackThread;
  {
    TTerminationSignals signals([&](const std::string& SignalName) {
      callbackThread = std::this_thread::get_id();
      received.set_value(SignalName);
    });
    EXPECT_THROW(TTerminationSignals second([](const std::string&) {}), std::logic_error);
    std::raise(SIGINT);
    ASSERT_EQ(name.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(name.get(), "SIGINT");
    EXPECT_NE(callbackThread, std::this_thread::get_id());
  }
  // Once the watcher is gone another may take over.
  std::promise<std::string> again;
  auto againName = again.get_future();
  TTerminationSignals next([&](const std::string& SignalName) { again.set_value(SignalName); });
  std::raise(SIGTERM);
  ASSERT_EQ(againName.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_EQ(againName.get(), "SIGTERM");
}

}  // namespace
}  // namespace kelvane
