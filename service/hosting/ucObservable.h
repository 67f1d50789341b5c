#pragma once

// A small notification mechanism: a subject tied to a component calls its
// observers, in the order they subscribed, with an optional data object.
// Subjects and observers are shared through their interfaces and live as long
// as someone holds them; `Void` cuts them loose from the objects they serve,
// after which they do nothing.

#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace kelvane {

// Base of the data objects carried by a notification.
class TObserverData {
 public:
  virtual ~TObserverData() = default;
};

class IObservableComponent;

class IObserverEvent {
 public:
  virtual ~IObserverEvent() = default;
  virtual void Update(IObservableComponent& Observable, TObserverData* Data) = 0;
  // Forgets the method; later updates do nothing.
  virtual void Void() = 0;
};

class IObservableComponent {
 public:
  virtual ~IObservableComponent() = default;
  // Adds the observer unless it is already subscribed.
  virtual void AddObserver(const std::shared_ptr<IObserverEvent>& Observer) = 0;
  virtual void RemoveObserver(const std::shared_ptr<IObserverEvent>& Observer) = 0;
  virtual void RemoveObservers() = 0;
  // Calls Update on every observer in subscription order, as long as the
  // subject is still tied to its component.
  virtual void NotifyObservers(TObserverData* Data) = 0;
  // Unties the subject from its component; later notifications call nobody.
  virtual void Void() = 0;
  // The component the subject is tied to; nullptr once voided.
  virtual const void* GetComponent() const = 0;
};

// Subscription and notification may happen on different threads. Observers
// are called without the subject's lock held, so an observer may subscribe or
// unsubscribe from within its update.
class TObservableComponent final : public IObservableComponent {
 public:
  explicit TObservableComponent(const void* Component);

  void AddObserver(const std::shared_ptr<IObserverEvent>& Observer) override;
  void RemoveObserver(const std::shared_ptr<IObserverEvent>& Observer) override;
  void RemoveObservers() override;
  void NotifyObservers(TObserverData* Data) override;
  void Void() override;
  const void* GetComponent() const override;

 private:
  mutable std::mutex FMutex;
  const void* FComponent;
  std::vector<std::shared_ptr<IObserverEvent>> FObservers;
};

class TObserverEvent final : public IObserverEvent {
 public:
  using TMethod = std::function<void(IObservableComponent& Observable, TObserverData* Data)>;
  explicit TObserverEvent(TMethod Method);

  void Update(IObservableComponent& Observable, TObserverData* Data) override;
  void Void() override;

 private:
  std::mutex FMutex;
  TMethod FMethod;
};

}  // namespace kelvane
