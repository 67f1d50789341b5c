#include "FakeClock.h"

#include <ctime>

namespace kelvane::testing {
namespace {

std::int64_t ToTicks(TimePoint when) {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(when.time_since_epoch()).count();
}

}  // namespace

FakeClock::FakeClock(TimePoint start) : FTicks(std::make_shared<std::atomic<std::int64_t>>(ToTicks(start))) {}

TimePoint FakeClock::Now() const {
  return TimePoint(std::chrono::duration_cast<TimePoint::duration>(std::chrono::nanoseconds(FTicks->load())));
}

void FakeClock::Set(TimePoint when) { FTicks->store(ToTicks(when)); }

void FakeClock::Advance(std::chrono::nanoseconds step) { FTicks->fetch_add(step.count()); }

Clock FakeClock::AsClock() const {
  return [ticks = FTicks] {
    return TimePoint(std::chrono::duration_cast<TimePoint::duration>(std::chrono::nanoseconds(ticks->load())));
  };
}

TimePoint LocalTimePoint(int year, int month, int day, int hour, int minute, int second) {
  std::tm tm{};
  tm.tm_year = year - 1900;
  tm.tm_mon = month - 1;
  tm.tm_mday = day;
  tm.tm_hour = hour;
  tm.tm_min = minute;
  tm.tm_sec = second;
  tm.tm_isdst = -1;
  return std::chrono::system_clock::from_time_t(std::mktime(&tm));
}

}  // namespace kelvane::testing
