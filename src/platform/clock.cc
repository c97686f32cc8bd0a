#include "platform/clock.h"

#include <chrono>
#include <cstdio>
#include <ctime>
#include <thread>

namespace dp {

uint32_t clock_now_seconds() { return static_cast<uint32_t>(std::time(nullptr)); }

civil_time clock_civil(int64_t t) {
  // Civil date from days since the epoch, so no locale or time zone applies.
  int64_t days_since = t / 86400;
  int64_t secs = t % 86400;
  if (secs < 0) {
    secs += 86400;
    --days_since;
  }
  const int64_t z = days_since + 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  civil_time c{};
  c.day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  c.month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  c.year = yoe + era * 400 + (c.month <= 2 ? 1 : 0);
  c.hour = static_cast<int>(secs / 3600);
  c.minute = static_cast<int>(secs / 60 % 60);
  c.second = static_cast<int>(secs % 60);
  int64_t wday = (days_since + 4) % 7;  // 1970-01-01 was a Thursday
  c.weekday = static_cast<int>(wday < 0 ? wday + 7 : wday);
  return c;
}

std::string clock_utc_text(int64_t t) {
  static const char* const days[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                       "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  const civil_time c = clock_civil(t);
  char buf[64];
  std::snprintf(buf, sizeof buf, "%s %s %2d %02d:%02d:%02d %4lld\n", days[c.weekday], months[c.month - 1], c.day,
                c.hour, c.minute, c.second, static_cast<long long>(c.year));
  return buf;
}

void clock_wait_seconds(uint32_t seconds) {
  const uint32_t start = clock_now_seconds();
  while (clock_now_seconds() < start + seconds) clock_sleep_ms(20);
}

int64_t clock_steady_ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void clock_sleep_ms(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

}  // namespace dp
