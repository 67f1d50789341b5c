#include "ucObservable.h"

#include <gtest/gtest.h>

#include <vector>

namespace kelvane {
namespace {

std::shared_ptr<TObserverEvent> Recorder(std::vector<std::string>& calls, const std::string& name) {
  return std::make_shared<TObserverEvent>([&calls, name](IObservableComponent&, TObserverData*) { calls.push_back(name); });
}

TEST(ucObservable, ObserversAreCalledOnceEachInSubscriptionOrder) {
  int component = 0;
  TObservableComponent subject(&component);
  std::vector<std::string> calls;
  auto first = Recorder(calls, "first");
  auto second = Recorder(calls, "second");
  subject.AddObserver(second);
  subject.AddObserver(first);
  subject.AddObserver(second);
  subject.NotifyObservers(nullptr);
  EXPECT_EQ(calls, (std::vector<std::string> {"second", "first"}));

  subject.RemoveObserver(second);
  calls.clear();
  subject.NotifyObservers(nullptr);
  EXPECT_EQ(calls, (std::vector<std::string> {"first"}));
  subject.RemoveObservers();
  calls.clear();
  subject.NotifyObservers(nullptr);
  EXPECT_TRUE(calls.empty());
}

TEST(ucObservable, VoidedSubjectsAndObserversStaySilent) {
  int component = 0;
  TObservableComponent subject(&component);
  std::vector<std::string> calls;
  auto observer = Recorder(calls, "observer");
  subject.AddObserver(observer);
  observer->Void();
  subject.NotifyObservers(nullptr);
  EXPECT_TRUE(calls.empty());

  auto other = Recorder(calls, "other");
  subject.AddObserver(other);
  EXPECT_EQ(subject.GetComponent(), &component);
  subject.Void();
  EXPECT_EQ(subject.GetComponent(), nullptr);
  subject.NotifyObservers(nullptr);
  EXPECT_TRUE(calls.empty());
}

TEST(ucObservable, AnObserverMayUnsubscribeWhileBeingNotified) {
  int component = 0;
  TObservableComponent subject(&component);
  int calls = 0;
  std::shared_ptr<TObserverEvent> once;
  once = std::make_shared<TObserverEvent>([&](IObservableComponent& from, TObserverData*) {
    ++calls;
    from.RemoveObserver(once);
  });
  subject.AddObserver(once);
  subject.NotifyObservers(nullptr);
  subject.NotifyObservers(nullptr);
  EXPECT_EQ(calls, 1);
  once->Void();
}

}  // namespace
}  // namespace kelvane
