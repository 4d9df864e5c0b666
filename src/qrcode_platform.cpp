// Platform layer: locale-independent formatting and the UTC clock.
//
// Formatting switches the calling thread to the "C" locale for the duration
// of one vsnprintf (uselocale is per thread and cheap), so a host that calls
// setlocale(LC_ALL, "de_DE.UTF-8") still gets "0.50" rather than "0,50".
#include "qrcode_platform.h"

#include <clocale>
#include <cstdio>
#include <ctime>
#include <locale.h>

namespace {

// glibc hands out a static object for the "C" locale, so this allocates
// nothing and needs no release.
locale_t c_locale() {
    static locale_t loc = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
    return loc;
}

class c_locale_scope {
public:
    c_locale_scope() : previous_(c_locale() ? uselocale(c_locale()) : nullptr) {}
    ~c_locale_scope() {
        if (previous_) uselocale(previous_);
    }
    c_locale_scope(const c_locale_scope &) = delete;
    c_locale_scope &operator=(const c_locale_scope &) = delete;

private:
    locale_t previous_;
};

}  // namespace

int qr_vsnprintf(char *buf, std::size_t size, const char *format, std::va_list args) {
    c_locale_scope scope;
    return std::vsnprintf(buf, size, format, args);
}

int qr_snprintf(char *buf, std::size_t size, const char *format, ...) {
    std::va_list args;
    va_start(args, format);
    const int n = qr_vsnprintf(buf, size, format, args);
    va_end(args);
    return n;
}

std::int64_t qr_clock_now() {
    return static_cast<std::int64_t>(std::time(nullptr));
}

bool qr_utc_fields(std::int64_t seconds, qr_utc_time *out) {
    const auto t = static_cast<std::time_t>(seconds);
    std::tm fields{};
    if (gmtime_r(&t, &fields) == nullptr) return false;
    *out = {fields.tm_year + 1900, fields.tm_mon + 1, fields.tm_mday,
            fields.tm_hour,        fields.tm_min,     fields.tm_sec};
    return true;
}
