#include "ApplicationService.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace kelvane {
namespace {

using TMethod = TObserverEvent::TMethod;

std::shared_ptr<TObserverEvent> Observer(TMethod method) { return std::make_shared<TObserverEvent>(std::move(method)); }

TEST(ApplicationService, StartVerdictIsTheSubscribersAndTrueWithoutThem) {
  TApplicationService service;
  bool started = true;
  service.ServiceStart(started);
  EXPECT_TRUE(started);

  std::vector<bool> seen;
  service.StartNotify()->AddObserver(Observer([&](IObservableComponent&, TObserverData* data) {
    auto* parameters = dynamic_cast<TSvcStartParameters*>(data);
    ASSERT_NE(parameters, nullptr);
    seen.push_back(parameters->Started());
    parameters->SetStarted(false);
  }));
  service.StartNotify()->AddObserver(Observer([&](IObservableComponent&, TObserverData* data) {
    seen.push_back(dynamic_cast<TSvcStartParameters*>(data)->Started());
  }));
  service.ServiceStart(started);
  EXPECT_FALSE(started);
  EXPECT_EQ(seen, (std::vector<bool> {true, false}));
}

TEST(ApplicationService, SubscriberErrorsPassThroughAndStopIsNeverRefused) {
  TApplicationService service;
  service.StartNotify()->AddObserver(
      Observer([](IObservableComponent&, TObserverData*) { throw std::runtime_error("no certificate"); }));
  bool started = true;
  EXPECT_THROW(service.ServiceStart(started), std::runtime_error);

  int stops = 0;
  service.StopNotify()->AddObserver(Observer([&](IObservableComponent&, TObserverData* data) {
    EXPECT_EQ(data, nullptr);
    ++stops;
  }));
  bool stopped = false;
  service.ServiceStop(stopped);
  EXPECT_TRUE(stopped);
  EXPECT_EQ(stops, 1);
}

TEST(ApplicationService, AnnouncementsOutlivingTheServiceCallNobody) {
  std::shared_ptr<IObservableComponent> start;
  int calls = 0;
  {
    TApplicationService service;
    EXPECT_EQ(service.Name(), "ApplicationService");
    EXPECT_FALSE(service.AllowPause());
    EXPECT_EQ(service.StartNotify(), service.StartNotify());
    start = service.StartNotify();
    start->AddObserver(Observer([&](IObservableComponent&, TObserverData*) { ++calls; }));
  }
  start->NotifyObservers(nullptr);
  EXPECT_EQ(calls, 0);
}

}  // namespace
}  // namespace kelvane
