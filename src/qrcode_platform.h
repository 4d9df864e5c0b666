// The few platform services the library needs beyond ISO C: number
// formatting that ignores the host's locale, and the UTC clock.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>

// snprintf with the "C" locale's conventions (a point as the decimal
// separator) whatever the host has set with setlocale. Same result and
// truncation rules as snprintf.
int qr_snprintf(char *buf, std::size_t size, const char *format, ...)
    __attribute__((format(printf, 3, 4)));
int qr_vsnprintf(char *buf, std::size_t size, const char *format, std::va_list args)
    __attribute__((format(printf, 3, 0)));

struct qr_utc_time {
    int year;    // e.g. 2026
    int month;   // 1..12
    int day;     // 1..31
    int hour;    // 0..23
    int minute;  // 0..59
    int second;  // 0..60
};

// Seconds since 1970-01-01 00:00:00 UTC.
std::int64_t qr_clock_now();
// UTC calendar fields of a clock reading; false when it cannot be converted.
bool qr_utc_fields(std::int64_t seconds, qr_utc_time *out);
