#include "SvcFramework.h"

#include <gtest/gtest.h>

#include <csignal>
#include <future>
#include <sstream>
#include <stdexcept>

#include "ucEventLoop.h"

namespace kelvane {
namespace {

// A service whose start and stop events are scripted by the test.
class TScriptedService final : public TService {
 public:
  TScriptedService() : TService("Scripted") {}

  std::function<void(bool&)> OnStart;
  std::vector<std::string> Events;
  std::thread::id StartThread;

  void ServiceStart(bool& Started) override {
    StartThread = std::this_thread::get_id();
    if (OnStart) OnStart(Started);
    Events.push_back(Started ? "started" : "refused");
  }
  void ServiceStop(bool& Stopped) override {
    Events.push_back("stopped");
    Stopped = true;
  }
};

class SvcFrameworkFixture : public ::testing::Test {
 protected:
  SvcFrameworkFixture() : FFramework(FLoop, FLog) {
    FService = static_cast<TScriptedService*>(&FFramework.AddService(std::make_unique<TScriptedService>()));
  }

  TEventLoop FLoop;
  std::ostringstream FLog;
  TServiceApplication FFramework;
  TScriptedService* FService;
};

TEST_F(SvcFrameworkFixture, RefusedStartEndsTheRunWithAFailureAndNoStopEvent) {
  FService->OnStart = [](bool& Started) { Started = false; };
  EXPECT_EQ(FFramework.Run(), 1);
  EXPECT_EQ(FService->Events, (std::vector<std::string> {"refused"}));
  EXPECT_EQ(FService->Status(), TServiceStatus::csStopped);
}

TEST_F(SvcFrameworkFixture, StartRunsOnTheServiceThreadAndAStopEndsTheRunCleanly) {
  FService->OnStart = [this](bool&) {
    // The main thread is free to serve work for the start meanwhile.
    bool servedOnMain = false;
    EXPECT_TRUE(FLoop.PostAndWait([&] { servedOnMain = FLoop.IsLoopThread(); }));
    EXPECT_TRUE(servedOnMain);
  };
  std::thread stopper([this] {
    while (FService->Status() != TServiceStatus::csRunning) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    FFramework.RequestStop();
  });
  EXPECT_EQ(FFramework.Run(), 0);
  stopper.join();
  EXPECT_NE(FService->StartThread, std::this_thread::get_id());
  EXPECT_EQ(FService->Events, (std::vector<std::string> {"started", "stopped"}));
  EXPECT_EQ(FService->Status(), TServiceStatus::csStopped);
}

TEST_F(SvcFrameworkFixture, StopRequestedDuringTheStartWaitsForIt) {
  FService->OnStart = [this](bool&) {
    FFramework.RequestStop();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  };
  EXPECT_EQ(FFramework.Run(), 0);
  EXPECT_EQ(FService->Events, (std::vector<std::string> {"started", "stopped"}));
}

TEST_F(SvcFrameworkFixture, FailingStartIsReportedAndEndsTheRun) {
  FService->OnStart = [](bool&) { throw std::runtime_error("no certificate"); };
  EXPECT_EQ(FFramework.Run(), 1);
  EXPECT_EQ(FLog.str(), "Service failed on start: no certificate\n");
  EXPECT_TRUE(FService->Events.empty());
}

TEST_F(SvcFrameworkFixture, TerminationSignalIsTheStopControl) {
  std::thread signaller([this] {
    while (FService->Status() != TServiceStatus::csRunning) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::raise(SIGTERM);
  });
  EXPECT_EQ(FFramework.Run(), 0);
  signaller.join();
  EXPECT_EQ(FService->Events, (std::vector<std::string> {"started", "stopped"}));
  EXPECT_NE(FLog.str().find("SIGTERM"), std::string::npos);
}

}  // namespace
}  // namespace kelvane
