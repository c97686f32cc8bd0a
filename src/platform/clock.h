// Calendar time in whole seconds, its UTC text for the error log, and for the processing loop
// while it waits for a growing raw data file a short sleep and a clock that never jumps.
#pragma once

#include <cstdint>
#include <string>

namespace dp {

/// A moment broken down in UTC (proleptic Gregorian calendar).
struct civil_time {
  int64_t year;
  int month;    ///< 1..12
  int day;      ///< 1..31
  int hour, minute, second;
  int weekday;  ///< 0 = Sunday
};

/// t (seconds since 1970-01-01 00:00 UTC, may be negative) broken down in UTC.
civil_time clock_civil(int64_t t);
/// Current calendar time in whole seconds since 1970-01-01 00:00 UTC.
uint32_t clock_now_seconds();
/// The 25-character UTC text of t ("Tue Dec  8 15:07:03 2026\n"), English names.
std::string clock_utc_text(int64_t t);
/// Waits until the clock in whole seconds reads at least its value at the call plus `seconds`.
void clock_wait_seconds(uint32_t seconds);
/// Milliseconds on a steady clock (unaffected by changes of the calendar time); only differences
/// mean anything.
int64_t clock_steady_ms();
/// Sleeps for about ms milliseconds.
void clock_sleep_ms(int ms);

}  // namespace dp
