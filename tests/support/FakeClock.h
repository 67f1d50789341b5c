#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "ucTime.h"

namespace kelvane::testing {

// A clock a test sets and moves by hand. Copies share one time, so the test
// keeps a copy after handing AsClock() to the object under test. Safe to read
// from several threads.
class FakeClock {
 public:
  explicit FakeClock(TimePoint start);

  TimePoint Now() const;
  void Set(TimePoint when);
  void Advance(std::chrono::nanoseconds step);
  Clock AsClock() const;

 private:
  std::shared_ptr<std::atomic<std::int64_t>> FTicks;  // nanoseconds since the epoch
};

// The moment the local wall clock shows the given date and time.
TimePoint LocalTimePoint(int year, int month, int day, int hour, int minute, int second);

}  // namespace kelvane::testing
