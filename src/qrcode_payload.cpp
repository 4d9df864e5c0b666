// Payload texts: Wi-Fi, contact card, e-mail, SMS, geo and calendar event.
//
// Invariants: builders never allocate and write only into the caller's
// buffer of `cap` bytes. Every byte they write goes through one bounded
// appender that puts content only below index cap - 1, so the terminator
// always has room and nothing is ever written at or past `cap`. A payload
// that does not fit is refused with "<builder>: payload too long", never
// returned cut short. Text values of contact cards and calendar events are
// escaped as both formats require (a backslash before \ ; and , and each
// line break as the two bytes "\n"), so a value can neither shift the parts
// of a structured value nor start a new property. Numbers are formatted
// with qr_snprintf (a point, whatever the host's locale).
#include "qrcode_payload.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string_view>

#include "qrcode_platform.h"

namespace {

// ---- Bounded appender ----------------------------------------------------------

// Writes at a running position into a buffer of `cap` bytes, content only
// below cap - 1. The first byte that finds no room sets `cut`; from then on
// nothing more is written, so the buffer holds a clean prefix.
class appender {
public:
    appender(char *out, int cap, int *pos) noexcept : out_(out), cap_(cap), pos_(pos) {}

    // Room for n more content bytes.
    bool room(int n) const {
        return *pos_ >= 0 && std::int64_t{*pos_} + n <= std::int64_t{cap_} - 1;
    }

    bool put(char c) {
        if (cut_ || !room(1)) {
            cut_ = true;
            return false;
        }
        out_[(*pos_)++] = c;
        return true;
    }

    // A fixed part: written whole or not at all.
    bool put_all(std::string_view s) {
        if (cut_ || !room(static_cast<int>(s.size()))) {
            cut_ = true;
            return false;
        }
        std::memcpy(out_ + *pos_, s.data(), s.size());
        *pos_ += static_cast<int>(s.size());
        return true;
    }

    void mark_cut() { cut_ = true; }
    bool cut() const { return cut_; }
    int pos() const { return *pos_; }

    // Terminates at the current position (always inside the buffer).
    void terminate() const {
        if (*pos_ >= 0 && *pos_ < cap_) out_[*pos_] = '\0';
    }

private:
    char *out_;
    int cap_;
    int *pos_;
    bool cut_ = false;
};

// ---- Field routines -----------------------------------------------------------

constexpr char HEX[] = "0123456789ABCDEF";

bool needs_backslash(unsigned char c) {
    return c == '\\' || c == ';' || c == ',' || c == '"' || c == ':';
}

// Backslash-escapes the five special bytes; false when the field was cut.
bool escape_into(appender &a, const char *src) {
    if (!src) return true;
    for (const char *p = src; *p != '\0'; ++p) {
        if (needs_backslash(static_cast<unsigned char>(*p)) && !a.put('\\')) return false;
        if (!a.put(*p)) return false;
    }
    return true;
}

bool unreserved(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '.' || c == '_' || c == '~';
}

// Percent-encodes `src`, keeping the unreserved bytes and those in `keep`.
// A byte is only started while a whole three-byte escape still fits below
// cap - 1; false when the field was cut.
bool pct_into(appender &a, const char *src, const char *keep) {
    if (!src) return true;
    const std::string_view kept = keep ? keep : "";
    for (const char *p = src; *p != '\0'; ++p) {
        if (!a.room(3)) {
            a.mark_cut();
            return false;
        }
        const auto c = static_cast<unsigned char>(*p);
        if (unreserved(c) || kept.find(*p) != std::string_view::npos) {
            a.put(*p);
        } else {
            const char esc[3] = {'%', HEX[c >> 4], HEX[c & 0x0F]};
            a.put_all(std::string_view(esc, 3));
        }
    }
    return true;
}

bool is_line_break(char c) { return c == '\r' || c == '\n'; }

// Copies `n` bytes of a contact-card or calendar text value: a backslash,
// semicolon or comma gets a backslash before it, and each line break (CR LF,
// a lone CR or a lone LF) becomes the text escape "\n".
bool text_into(appender &a, const char *src, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        const char c = src[i];
        if (is_line_break(c)) {
            if (c == '\r' && i + 1 < n && src[i + 1] == '\n') ++i;
            if (!a.put_all("\\n")) return false;
            continue;
        }
        if ((c == '\\' || c == ';' || c == ',') && !a.put('\\')) return false;
        if (!a.put(c)) return false;
    }
    return true;
}

bool text_into(appender &a, const char *src) { return text_into(a, src, std::strlen(src)); }

// The length of the first `max` bytes of `s` (of `n`), shortened so that it
// does not end inside a UTF-8 sequence.
std::size_t utf8_prefix(const char *s, std::size_t n, std::size_t max) {
    if (n <= max) return n;
    std::size_t cut = max;
    while (cut > 0 && (static_cast<unsigned char>(s[cut]) & 0xC0) == 0x80) --cut;
    return cut;
}

bool present(const char *s) { return s != nullptr && s[0] != '\0'; }

bool has_line_break(const char *s) { return s != nullptr && std::strpbrk(s, "\r\n") != nullptr; }

// Terminates a finished payload, or reports it too long. `limit` is the
// highest position the terminator may take: cap - 1 for builders that use
// the whole buffer, cap - 2 for those that keep one byte spare.
qr_error finish(appender &a, int limit, qr_error too_long) {
    if (a.cut() || a.pos() > limit) {
        a.terminate();
        return too_long;
    }
    a.terminate();
    return QR_OK;
}

// ---- Payload texts ------------------------------------------------------------

constexpr std::string_view MAILTO_HDR = "mailto:";
constexpr std::string_view SMSTO_HDR = "smsto:";

constexpr std::string_view ICAL_HDR =
    "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//Vantelor//vantelor-qrcode 2.0//EN\r\n"
    "CALSCALE:GREGORIAN\r\nBEGIN:VEVENT\r\n";
constexpr std::string_view ICAL_FTR = "END:VEVENT\r\nEND:VCALENDAR\r\n";
static_assert(ICAL_HDR.size() == 109 && ICAL_FTR.size() == 27);

// Event UIDs end in a domain no one can register (.invalid is reserved),
// short enough that a one-line title on a date fits a 256-byte buffer.
constexpr const char *UID_DOMAIN = "vantelor.invalid";

// Name parts of the structured vCard name are cut to this many bytes.
constexpr std::size_t VCARD_NAME_PART_MAX = 250;

constexpr int PAYLOAD_CAP = 1024;
constexpr int EMAIL_CAP = 2048;
constexpr int GEO_CAP = 64;
constexpr int EVENT_CAP = 2048;
static_assert(EMAIL_CAP <= QR_PAYLOAD_CAP && EVENT_CAP <= QR_PAYLOAD_CAP);

bool is_digit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

// ---- Field routines -----------------------------------------------------------

void escape_field(const char *src, char *out, int cap, int *pos) {
    if (!src || !out || !pos) return;
    appender a(out, cap, pos);
    escape_into(a, src);
}

void pct_encode(const char *src, const char *keep, char *out, int cap, int *pos) {
    if (!src || !out || !pos) return;
    appender a(out, cap, pos);
    pct_into(a, src, keep);
}

// ---- Wi-Fi and contact card ---------------------------------------------------

qr_error qr_build_wifi(const char *ssid, const char *password, const char *security, char *out,
                       int cap) {
    if (!out || cap <= 7 || !ssid) return "qr_build_wifi: bad args";
    int pos = 0;
    appender a(out, cap, &pos);
    a.put_all("WIFI:T:");
    escape_into(a, present(security) ? security : "WPA");
    a.put_all(";S:");
    escape_into(a, ssid);
    if (present(password)) {
        a.put_all(";P:");
        escape_into(a, password);
    }
    a.put_all(";;");
    return finish(a, cap - 1, "qr_build_wifi: payload too long");
}

qr_error qr_build_vcard(const char *name, const char *phone, const char *email, char *out,
                        int cap) {
    if (!out || cap < 32 || !name) return "qr_build_vcard: bad args";
    // A number or an address is copied as it is; no escape would give back
    // the typed value, so a line break in one is refused.
    if (has_line_break(phone) || has_line_break(email))
        return "qr_build_vcard: line break in phone or email";
    int pos = 0;
    appender a(out, cap, &pos);
    a.put_all("BEGIN:VCARD\r\nVERSION:3.0\r\nN:");
    // Structured name: split at the first space unless the name starts with
    // one; family name first.
    const char *space = std::strchr(name, ' ');
    if (space && space != name) {
        const auto given = static_cast<std::size_t>(space - name);
        const char *family = space + 1;
        text_into(a, family, utf8_prefix(family, std::strlen(family), VCARD_NAME_PART_MAX));
        a.put(';');
        text_into(a, name, utf8_prefix(name, given, VCARD_NAME_PART_MAX));
    } else {
        text_into(a, name);
    }
    a.put_all(";;;\r\nFN:");
    text_into(a, name);
    a.put_all("\r\n");
    if (present(phone)) {
        a.put_all("TEL;TYPE=CELL:");
        a.put_all(phone);
        a.put_all("\r\n");
    }
    if (present(email)) {
        a.put_all("EMAIL:");
        a.put_all(email);
        a.put_all("\r\n");
    }
    a.put_all("END:VCARD\r\n");
    return finish(a, cap - 1, "qr_build_vcard: payload too long");
}

// ---- E-mail, SMS, geo -----------------------------------------------------------

qr_error qr_build_email(const char *to, const char *subject, const char *body, char *out, int cap) {
    if (!present(to) || !out || cap < 16) return "qr_build_email: bad args (to required)";
    int pos = 0;
    appender a(out, cap, &pos);
    a.put_all(MAILTO_HDR);
    pct_into(a, to, "@:/");
    const bool has_subject = present(subject);
    if (has_subject) {
        a.put_all("?subject=");
        pct_into(a, subject, "-_.~");
    }
    if (present(body)) {
        a.put_all(has_subject ? "&body=" : "?body=");
        pct_into(a, body, "-_.~");
    }
    return finish(a, cap - 2, "qr_build_email: payload too long");
}

qr_error qr_build_sms(const char *phone, const char *message, char *out, int cap) {
    // A number without a digit ("call me") would give a link to no one.
    if (!phone || !std::strpbrk(phone, "0123456789") || !out || cap < 16)
        return "qr_build_sms: bad args (phone required)";
    int pos = 0;
    appender a(out, cap, &pos);
    a.put_all(SMSTO_HDR);
    for (const char *p = phone; *p != '\0' && !a.cut(); ++p) {
        // Every phone byte needs room, kept or not.
        if (!a.room(1)) a.mark_cut();
        if (*p == '+' || *p == '-' || is_digit(*p)) a.put(*p);
    }
    if (present(message)) {
        a.put(':');
        for (const char *p = message; *p != '\0' && a.put(*p); ++p) {}
    }
    return finish(a, cap - 2, "qr_build_sms: payload too long");
}

qr_error qr_build_geo(double lat, double lon, char *out, int cap) {
    // Written so that NaN fails the test as well.
    const bool in_range = lat >= -90.0 && lat <= 90.0 && lon >= -180.0 && lon <= 180.0;
    if (!in_range || !out || cap < 16) return "qr_build_geo: lat/lon out of range";
    const int n = qr_snprintf(out, static_cast<std::size_t>(cap), "geo:%.6f,%.6f", lat, lon);
    if (n < 0 || n >= cap) return "qr_build_geo: buffer too small";
    return QR_OK;
}

// ---- Calendar event -------------------------------------------------------------

namespace {

// A date or date-time as the caller wrote it.
struct civil_time {
    int year = 0, month = 0, day = 0;
    bool has_time = false, utc = false;
    int hour = 0, minute = 0, second = 0;
};

constexpr int DAYS_IN_MONTH[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};

bool leap_year(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int days_in_month(int year, int month) {
    return month == 2 && leap_year(year) ? 29 : DAYS_IN_MONTH[month - 1];
}

bool valid_fields(const civil_time &t) {
    if (t.month < 1 || t.month > 12 || t.day < 1 || t.day > days_in_month(t.year, t.month))
        return false;
    // 60 is a leap second.
    return t.hour <= 23 && t.minute <= 59 && t.second <= 60;
}

// Days from 1970-01-01 to a proleptic Gregorian date, and back (the
// era-based method: 400-year eras of 146,097 days, years starting in March
// so that the leap day ends a year).
std::int64_t days_from_civil(int y, int m, int d) {
    const std::int64_t yy = y - (m <= 2 ? 1 : 0);
    const std::int64_t era = (yy >= 0 ? yy : yy - 399) / 400;
    const std::int64_t yoe = yy - era * 400;
    const std::int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

void civil_from_days(std::int64_t z, civil_time &t) {
    z += 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const std::int64_t doe = z - era * 146097;
    const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const std::int64_t mp = (5 * doy + 2) / 153;
    t.day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    t.month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    t.year = static_cast<int>(yoe + era * 400 + (t.month <= 2 ? 1 : 0));
}

// Moves a date-time by `minutes`; the seconds (a leap second included) stay.
// False when the year leaves 0000..9999.
bool shift_minutes(civil_time &t, int minutes) {
    const std::int64_t total =
        days_from_civil(t.year, t.month, t.day) * 1440 + t.hour * 60 + t.minute + minutes;
    const std::int64_t days = total >= 0 ? total / 1440 : (total - 1439) / 1440;
    const auto minute_of_day = static_cast<int>(total - days * 1440);
    civil_from_days(days, t);
    t.hour = minute_of_day / 60;
    t.minute = minute_of_day % 60;
    return t.year >= 0 && t.year <= 9999;
}

// Reads fixed-width numbers and single bytes from a timestamp text.
class stamp_reader {
public:
    explicit stamp_reader(const char *p) : p_(p) {}

    bool number(int width, int *value) {
        int v = 0;
        for (int k = 0; k < width; ++k, ++p_) {
            if (!is_digit(*p_)) return false;
            v = v * 10 + (*p_ - '0');
        }
        *value = v;
        return true;
    }
    // Steps over the next byte when it is one of `set`.
    bool skip(std::string_view set) {
        if (*p_ == '\0' || set.find(*p_) == std::string_view::npos) return false;
        ++p_;
        return true;
    }
    bool digit_next() const { return is_digit(*p_); }
    bool at_end() const { return *p_ == '\0'; }
    void skip_digits() {
        while (is_digit(*p_)) ++p_;
    }

private:
    const char *p_;
};

// Two digits after an optional colon, where a colon or a digit shows they
// are there; left at 0 otherwise.
bool optional_pair(stamp_reader &r, int *value) {
    if (r.skip(":")) return r.number(2, value);
    return !r.digit_next() || r.number(2, value);
}

// "Z" or "z", or a numeric offset (+hh, +hhmm, +hh:mm, or with "-"): the
// minutes to add to the local time to get UTC. False for an offset that is
// not one of these forms or out of range.
bool read_zone(stamp_reader &r, bool *utc, int *to_utc) {
    *utc = true;
    *to_utc = 0;
    if (r.skip("Zz")) return true;
    const bool east = r.skip("+");
    if (!east && !r.skip("-")) {
        *utc = false;
        return true;
    }
    int hours = 0, minutes = 0;
    if (!r.number(2, &hours) || !optional_pair(r, &minutes) || hours > 23 || minutes > 59)
        return false;
    *to_utc = (east ? -1 : 1) * (hours * 60 + minutes);
    return true;
}

// Reads the whole of `src`: a date (YYYY-MM-DD, the dashes optional) or a
// date and a time after "T", "t" or a space (hh:mm or hh:mm:ss, the colons
// optional, a fraction of a second skipped), then "Z" or an offset. Every
// field is range-checked and nothing may follow; a time with an offset is
// moved to UTC.
bool read_civil_time(const char *src, civil_time &t) {
    stamp_reader r(src);
    if (!r.number(4, &t.year)) return false;
    r.skip("-");
    if (!r.number(2, &t.month)) return false;
    r.skip("-");
    if (!r.number(2, &t.day)) return false;
    if (r.at_end()) return valid_fields(t);
    if (!r.skip("Tt ")) return false;
    t.has_time = true;
    if (!r.number(2, &t.hour)) return false;
    r.skip(":");
    if (!r.number(2, &t.minute)) return false;
    const bool colon = r.skip(":");
    if (colon || r.digit_next()) {
        if (!r.number(2, &t.second)) return false;
        if (r.skip(".")) r.skip_digits();
    }
    int to_utc = 0;
    if (!read_zone(r, &t.utc, &to_utc) || !r.at_end() || !valid_fields(t)) return false;
    return to_utc == 0 || shift_minutes(t, to_utc);
}

// Whether the end stamp lies before the start stamp. Compact stamps order
// as texts; a date is compared with the date of a date-time, and a UTC time
// with a floating one as if both were in the same zone.
bool ends_before(std::string_view end, std::string_view start) {
    constexpr std::size_t DATE_TIME_DIGITS = 15;  // YYYYMMDDThhmmss
    const std::size_t n = std::min({end.size(), start.size(), DATE_TIME_DIGITS});
    return end.substr(0, n) < start.substr(0, n);
}

}  // namespace

// Converts an ISO 8601 date or date-time into the compact iCalendar form:
// YYYYMMDD, YYYYMMDDThhmmss (floating local time) or YYYYMMDDThhmmssZ (at
// most 17 bytes with the NUL); a time with an offset is given in UTC.
int ical_stamp(const char *src, char *stamp) {
    if (!src || !stamp) return -1;
    civil_time t;
    if (!read_civil_time(src, t)) return -1;
    if (!t.has_time) {
        qr_snprintf(stamp, 17, "%04d%02d%02d", t.year, t.month, t.day);
        return 0;
    }
    qr_snprintf(stamp, 17, "%04d%02d%02dT%02d%02d%02d%s", t.year, t.month, t.day, t.hour, t.minute,
                t.second, t.utc ? "Z" : "");
    return 0;
}

qr_error qr_build_event(const char *title, const char *start, const char *end, const char *location,
                        char *out, int cap) {
    if (!title || !start || !out || cap < 256)
        return "qr_build_event: bad args (title + start required)";
    char start_stamp[32] = {};
    char end_stamp[32] = {};
    if (ical_stamp(start, start_stamp) != 0)
        return "qr_build_event: bad start timestamp (need ISO 8601)";
    const bool has_end = present(end);
    if (has_end && ical_stamp(end, end_stamp) != 0)
        return "qr_build_event: bad end timestamp (need ISO 8601)";
    if (has_end && ends_before(end_stamp, start_stamp)) return "qr_build_event: end before start";
    std::int64_t now = 0;
    if (!qr_stamp_clock(&now))
        return "qr_build_event: bad SOURCE_DATE_EPOCH (need seconds since 1970)";
    // Only a reading billions of years away fails to convert; the epoch then
    // stands in rather than failing the event.
    qr_utc_time utc{1970, 1, 1, 0, 0, 0};
    if (!qr_utc_fields(now, &utc)) utc = {1970, 1, 1, 0, 0, 0};
    char dtstamp[64];
    qr_snprintf(dtstamp, sizeof dtstamp, "%04d%02d%02dT%02d%02d%02dZ", utc.year, utc.month, utc.day,
                utc.hour, utc.minute, utc.second);
    char uid[128];
    qr_snprintf(uid, sizeof uid, "vantelor-qrcode-%s-%u@%s", start_stamp,
                static_cast<unsigned>(static_cast<std::uint32_t>(now)), UID_DOMAIN);

    int pos = 0;
    appender a(out, cap, &pos);
    a.put_all(ICAL_HDR);
    a.put_all("UID:");
    a.put_all(uid);
    a.put_all("\r\nDTSTAMP:");
    a.put_all(dtstamp);
    a.put_all("\r\nDTSTART:");
    a.put_all(start_stamp);
    a.put_all("\r\n");
    if (has_end) {
        a.put_all("DTEND:");
        a.put_all(end_stamp);
        a.put_all("\r\n");
    }
    a.put_all("SUMMARY:");
    text_into(a, title);
    a.put_all("\r\n");
    if (present(location)) {
        a.put_all("LOCATION:");
        text_into(a, location);
        a.put_all("\r\n");
    }
    a.put_all(ICAL_FTR);
    return finish(a, cap - 2, "qr_build_event: payload too long");
}

// ---- Payload texts at their encoders' sizes ----

qr_error qr_payload_wifi(const char *ssid, const char *password, const char *security,
                         qr_payload &out) {
    return qr_build_wifi(ssid, password, security, out.text, PAYLOAD_CAP);
}

qr_error qr_payload_vcard(const char *name, const char *phone, const char *email, qr_payload &out) {
    return qr_build_vcard(name, phone, email, out.text, PAYLOAD_CAP);
}

qr_error qr_payload_email(const char *to, const char *subject, const char *body, qr_payload &out) {
    return qr_build_email(to, subject, body, out.text, EMAIL_CAP);
}

qr_error qr_payload_sms(const char *phone, const char *message, qr_payload &out) {
    return qr_build_sms(phone, message, out.text, PAYLOAD_CAP);
}

qr_error qr_payload_geo(double lat, double lon, qr_payload &out) {
    return qr_build_geo(lat, lon, out.text, GEO_CAP);
}

qr_error qr_payload_event(const char *title, const char *start, const char *end,
                          const char *location, qr_payload &out) {
    return qr_build_event(title, start, end, location, out.text, EVENT_CAP);
}
