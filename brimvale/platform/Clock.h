#pragma once

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

} // namespace corvane
