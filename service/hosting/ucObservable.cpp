#include "ucObservable.h"

#include <algorithm>

namespace kelvane {

TObservableComponent::TObservableComponent(const void* Component) : FComponent(Component) {}

void TObservableComponent::AddObserver(const std::shared_ptr<IObserverEvent>& Observer) {
  if (!Observer) return;
  std::lock_guard lock(FMutex);
  if (std::find(FObservers.begin(), FObservers.end(), Observer) == FObservers.end()) FObservers.push_back(Observer);
}

void TObservableComponent::RemoveObserver(const std::shared_ptr<IObserverEvent>& Observer) {
  std::lock_guard lock(FMutex);
  FObservers.erase(std::remove(FObservers.begin(), FObservers.end(), Observer), FObservers.end());
}

void TObservableComponent::RemoveObservers() {
  std::lock_guard lock(FMutex);
  FObservers.clear();
}

void TObservableComponent::NotifyObservers(TObserverData* Data) {
  std::vector<std::shared_ptr<IObserverEvent>> observers;
  {
    std::lock_guard lock(FMutex);
    observers = FObservers;
  }
  for (const auto& observer : observers) {
    {
      std::lock_guard lock(FMutex);
      if (FComponent == nullptr) return;
    }
    observer->Update(*this, Data);
  }
}

void TObservableComponent::Void() {
  std::lock_guard lock(FMutex);
  FComponent = nullptr;
}

const void* TObservableComponent::GetComponent() const {
  std::lock_guard lock(FMutex);
  return FComponent;
}

TObserverEvent::TObserverEvent(TMethod Method) : FMethod(std::move(Method)) {}

void TObserverEvent::Update(IObservableComponent& Observable, TObserverData* Data) {
  TMethod method;
  {
    std::lock_guard lock(FMutex);
    method = FMethod;
  }
  if (method) method(Observable, Data);
}

void TObserverEvent::Void() {
  std::lock_guard lock(FMutex);
  FMethod = nullptr;
}

}  // namespace kelvane
