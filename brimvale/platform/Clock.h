#pragma once

#include <chrono>

namespace corvane {

// Dates are seconds since 2001-01-01 00:00:00 UTC, as stored in every persisted record.
using Date = double;

// Seconds between the Unix epoch and 2001-01-01 00:00:00 UTC.
inline constexpr double referenceDateOffset = 978307200.0;

Date referenceDateNow();
Date dateFromUnix(double unixSeconds);
double unixFromDate(Date date);

// Seconds on a clock that keeps counting while the machine sleeps (CLOCK_BOOTTIME).
double continuousNow();

// A delay in seconds as a steady-clock duration for timers: negative or NaN is zero, and an
// absurd delay is bounded so that it cannot overflow the clock.
std::chrono::steady_clock::duration steadyDuration(double seconds);

} // namespace corvane
