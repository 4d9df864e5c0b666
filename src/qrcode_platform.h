// The few platform services the library needs beyond ISO C: number
// formatting that ignores the host's locale, the UTC clock, atomic file
// replacement and large-page hints for big working buffers.
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
// The reading that time stamps in payloads carry: SOURCE_DATE_EPOCH when it
// is set and not empty (the reproducible-builds convention, so that a build
// that makes codes gives the same bytes each time), otherwise the clock.
// False when the variable holds anything but decimal digits, or a time past
// 9999-12-31T23:59:59Z.
bool qr_stamp_clock(std::int64_t *now);
// UTC calendar fields of a clock reading; false when it cannot be converted.
bool qr_utc_fields(std::int64_t seconds, qr_utc_time *out);

enum class qr_write_status { ok, cannot_open, short_write };

// Replaces the file at `path` with `len` bytes so that a reader sees either
// the old file or the complete new one, never a partial write: the bytes go
// to a fresh file in the destination's folder, which is renamed over the
// destination once it is complete and closed. On any failure the fresh file
// is removed and the destination is left as it was. A symbolic link is
// written through to the file it names (the link stays a link); an existing
// file keeps its permission bits, a new one gets 0666 less the umask. A
// destination that exists but is not a regular file (a device, a pipe) is
// written in place, since it cannot be replaced.
qr_write_status qr_replace_file(const char *path, const void *bytes, std::size_t len);

// Asks the kernel to back a large working buffer (a decoded image, quirc's
// label plane) with huge pages where it offers them on request. Touching a
// fresh 256 MB image page by page costs tens of thousands of page faults,
// which on a virtual machine take longer than decoding the picture; huge
// pages cut that by 512x. Buffers under a few huge pages are left alone;
// the hint changes no byte and failures are ignored.
void qr_prefer_huge_pages(void *buffer, std::size_t len) noexcept;
// malloc and realloc that give the hint above to what they return.
void *qr_big_malloc(std::size_t len) noexcept;
void *qr_big_realloc(void *buffer, std::size_t len) noexcept;
