// Payload builders: exact texts, capacity boundaries, hostile fields, and
// each encoder's PNG read back by an independent decoder.
#include <clocale>
#include <cmath>
#include <cstring>
#include <ctime>
#include <functional>
#include <limits>
#include <regex>
#include <string>
#include <vector>

#include "qrcode_payload.h"
#include "test_support.h"

namespace {

using vqr_test::library;

struct outcome {
    int rc;
    std::string text;  // the payload on success, the message on failure
};

// Runs a builder on a heap block of exactly `cap` bytes (AddressSanitizer
// sees any write past it) and checks that nothing lands at or past the end
// of the payload's terminator.
outcome run(int cap, const std::function<qr_error(char *, int)> &fn) {
    std::vector<char> buf(static_cast<std::size_t>(cap), '\x7f');
    if (const qr_error error = fn(buf.data(), cap)) return {-1, error};
    const int rc = 0;
    EXPECT_NE(std::memchr(buf.data(), '\0', buf.size()), nullptr);
    return {rc, buf.data()};
}

const std::string VC = "BEGIN:VCARD\r\nVERSION:3.0\r\n";
const std::string VE = "END:VCARD\r\n";
constexpr double NaN = std::numeric_limits<double>::quiet_NaN();

TEST(PayloadFields, EscapeField) {
    struct row {
        const char *src;
        int cap, pos0;
        const char *written;
        int pos;
    };
    const row rows[] = {
        {"a;b,c:d", 64, 0, "a\\;b\\,c\\:d", 10},
        {"q\"b\\", 64, 0, "q\\\"b\\\\", 6},
        {"\xC3\xA9x", 64, 0, "\xC3\xA9x", 3},
        {"abc", 3, 0, "ab", 2},  // index cap - 1 stays free
        {";x", 2, 0, "\\", 1},   // backslash fits, the byte it escapes does not
        {"abc", 3, 2, "", 2},
    };
    for (const row &r : rows) {
        std::vector<char> buf(static_cast<std::size_t>(r.cap), '#');
        int pos = r.pos0;
        escape_field(r.src, buf.data(), r.cap, &pos);
        EXPECT_EQ(pos, r.pos) << r.src;
        EXPECT_EQ(std::string(buf.data() + r.pos0, static_cast<std::size_t>(pos - r.pos0)),
                  r.written);
        EXPECT_EQ(buf.back(), '#');
    }
}

TEST(PayloadFields, PctEncode) {
    struct row {
        const char *src, *keep;
        int cap, pos0;
        const char *written;
        int pos;
    };
    const row rows[] = {
        {"a b", "", 64, 0, "a%20b", 5},
        {"\xE9", "", 64, 0, "%E9", 3},
        {"~.-_Az9", "", 64, 0, "~.-_Az9", 7},
        {"a+b@c:d/e,f", "@:/", 64, 0, "a%2Bb@c:d/e%2Cf", 15},
        {"\r\n?&=#", "-_.~", 64, 0, "%0D%0A%3F%26%3D%23", 18},
        {"a", "", 10, 7, "", 7},  // pos = cap - 3: nothing is started
        {"ab", "", 10, 6, "a", 7},
        {" x", "", 10, 6, "%20", 9},
    };
    for (const row &r : rows) {
        std::vector<char> buf(static_cast<std::size_t>(r.cap), '#');
        int pos = r.pos0;
        pct_encode(r.src, r.keep, buf.data(), r.cap, &pos);
        EXPECT_EQ(pos, r.pos) << r.src;
        EXPECT_EQ(std::string(buf.data() + r.pos0, static_cast<std::size_t>(pos - r.pos0)),
                  r.written);
    }
}

TEST_F(library, PayloadWifi) {
    struct row {
        const char *ssid, *pw, *sec;
        int cap;
        int rc;
        const char *text;
    };
    const char *bad = "qr_build_wifi: bad args";
    const char *too_long = "qr_build_wifi: payload too long";
    const row rows[] = {
        {"", nullptr, nullptr, 1024, 0, "WIFI:T:WPA;S:;;"},
        {"net", "", "", 1024, 0, "WIFI:T:WPA;S:net;;"},
        {"a;b,c:d", "p\"w\\", "WEP", 1024, 0, "WIFI:T:WEP;S:a\\;b\\,c\\:d;P:p\\\"w\\\\;;"},
        {"x", "secret", "nopass", 1024, 0, "WIFI:T:nopass;S:x;P:secret;;"},
        {nullptr, "pw", nullptr, 1024, -1, bad},
        {"x", nullptr, nullptr, 7, -1, bad},
        {"x", nullptr, nullptr, 8, -1, too_long},  // past the argument check
        {"x", nullptr, nullptr, 17, 0, "WIFI:T:WPA;S:x;;"},
        {"x", nullptr, nullptr, 16, -1, too_long},
        {"x", "secret", nullptr, 26, 0, "WIFI:T:WPA;S:x;P:secret;;"},
        {"x", "secret", nullptr, 25, -1, too_long},  // a cut password is an error
        {"x", "secret", nullptr, 20, -1, too_long},
    };
    for (const row &r : rows) {
        const outcome o = run(r.cap, [&](char *out, int cap) {
            return qr_build_wifi(r.ssid, r.pw, r.sec, out, cap);
        });
        EXPECT_EQ(o.rc, r.rc) << r.cap;
        EXPECT_EQ(o.text, r.text);
    }
    EXPECT_STREQ(qr_build_wifi("x", nullptr, nullptr, nullptr, 64), "qr_build_wifi: bad args");
}

TEST_F(library, PayloadVcard) {
    struct row {
        const char *name, *phone, *email;
        int cap;
        int rc;
        std::string text;
    };
    const std::string alpha = VC + "N:alpha;;;\r\nFN:alpha\r\n" + VE;
    const int fit = static_cast<int>(alpha.size()) + 1;
    const char *too_long = "qr_build_vcard: payload too long";
    const row rows[] = {
        {"alpha beta gamma", nullptr, nullptr, 1024, 0,
         VC + "N:beta gamma;alpha;;;\r\nFN:alpha beta gamma\r\n" + VE},
        {"alpha", "+1 555", "a@b.c", 1024, 0,
         VC + "N:alpha;;;\r\nFN:alpha\r\nTEL;TYPE=CELL:+1 555\r\nEMAIL:a@b.c\r\n" + VE},
        {" alpha", "", "", 1024, 0, VC + "N: alpha;;;\r\nFN: alpha\r\n" + VE},
        {"alpha ", nullptr, nullptr, 1024, 0, VC + "N:;alpha;;;\r\nFN:alpha \r\n" + VE},
        {"", nullptr, nullptr, 1024, 0, VC + "N:;;;\r\nFN:\r\n" + VE},
        // Separators inside a part are escaped and cannot shift the parts.
        {"a;b,c\\", nullptr, nullptr, 1024, 0,
         VC + "N:a\\;b\\,c\\\\;;;\r\nFN:a\\;b\\,c\\\\\r\n" + VE},
        {"Smith, Jr.; John", nullptr, nullptr, 1024, 0,
         VC + "N:Jr.\\; John;Smith\\,;;;\r\nFN:Smith\\, Jr.\\; John\r\n" + VE},
        {"Zoë Ñúñez", nullptr, nullptr, 1024, 0, VC + "N:Ñúñez;Zoë;;;\r\nFN:Zoë Ñúñez\r\n" + VE},
        // Line breaks cannot start a new property.
        {"a\r\nb c\rd\ne", nullptr, nullptr, 1024, 0,
         VC + "N:c\\nd\\ne;a\\nb;;;\r\nFN:a\\nb c\\nd\\ne\r\n" + VE},
        // Numbers and addresses keep their bytes; a line break is refused.
        {"x", "+1 (555) 0100;ext=2", "a,b\\c@x.org", 1024, 0,
         VC + "N:x;;;\r\nFN:x\r\nTEL;TYPE=CELL:+1 (555) 0100;ext=2\r\nEMAIL:a,b\\c@x.org\r\n" + VE},
        {"x", "1\r\nTEL:2", nullptr, 1024, -1, "qr_build_vcard: line break in phone or email"},
        {"x", nullptr, "a@b\n", 1024, -1, "qr_build_vcard: line break in phone or email"},
        {"x", "1", "\ra@b", 1024, -1, "qr_build_vcard: line break in phone or email"},
        {nullptr, nullptr, nullptr, 1024, -1, "qr_build_vcard: bad args"},
        {"alpha", nullptr, nullptr, 31, -1, "qr_build_vcard: bad args"},
        {"alpha", nullptr, nullptr, 32, -1, too_long},
        {"alpha", nullptr, nullptr, fit, 0, alpha},
        {"alpha", nullptr, nullptr, fit - 1, -1, too_long},
        {",", nullptr, nullptr, fit - 6, 0, VC + "N:\\,;;;\r\nFN:\\,\r\n" + VE},
        {",", nullptr, nullptr, fit - 7, -1, too_long},         // an escape is never cut in two
        {"alpha", "5550100", nullptr, fit + 12, -1, too_long},  // a cut phone is an error
    };
    for (const row &r : rows) {
        const outcome o = run(r.cap, [&](char *out, int cap) {
            return qr_build_vcard(r.name, r.phone, r.email, out, cap);
        });
        EXPECT_EQ(o.rc, r.rc) << r.cap;
        EXPECT_EQ(o.text, r.text);
    }
}

TEST_F(library, PayloadVcardNamePartsAreCutTo250Bytes) {
    struct row {
        std::string given, family;
        std::size_t given_kept, family_kept;
    };
    const std::string e_acute = "\xC3\xA9";
    const std::string euro = "\xE2\x82\xAC";
    const row rows[] = {
        {std::string(300, 'g'), std::string(260, 'f'), 250, 250},
        {std::string(250, 'g'), std::string(250, 'f'), 250, 250},
        // A character that would end past byte 250 is left out whole.
        {std::string(249, 'g') + e_acute, std::string(248, 'f') + euro + "f", 249, 248},
        {std::string(248, 'g') + e_acute + "g", std::string(247, 'f') + euro + "f", 250, 250},
    };
    for (const row &r : rows) {
        const std::string name = r.given + " " + r.family;
        const outcome o = run(2048, [&](char *out, int cap) {
            return qr_build_vcard(name.c_str(), nullptr, nullptr, out, cap);
        });
        ASSERT_EQ(o.rc, 0) << o.text;
        EXPECT_EQ(o.text, VC + "N:" + r.family.substr(0, r.family_kept) + ";" +
                              r.given.substr(0, r.given_kept) + ";;;\r\nFN:" + name + "\r\n" + VE);
    }
}

TEST_F(library, PayloadEmail) {
    struct row {
        const char *to, *subject, *body;
        int cap;
        int rc;
        const char *text;
    };
    const char *bad = "qr_build_email: bad args (to required)";
    const char *too_long = "qr_build_email: payload too long";
    const row rows[] = {
        {"a+b@x.org", nullptr, nullptr, 2048, 0, "mailto:a%2Bb@x.org"},
        {"me@x", "a b&c=d", "l1\r\nl2", 2048, 0,
         "mailto:me@x?subject=a%20b%26c%3Dd&body=l1%0D%0Al2"},
        {"me@x", "", "caf\xC3\xA9", 2048, 0, "mailto:me@x?body=caf%C3%A9"},
        {"", "s", "b", 2048, -1, bad},
        {nullptr, nullptr, nullptr, 2048, -1, bad},
        {"a@b", nullptr, nullptr, 15, -1, bad},
        {"a@b", nullptr, nullptr, 16, 0, "mailto:a@b"},
        {"me@x", nullptr, "0123456789", 30, 0, "mailto:me@x?body=0123456789"},
        {"me@x", nullptr, "0123456789", 20, -1, too_long},  // a cut body is an error
        {"me@x", "subject", nullptr, 18, -1, too_long},     // "?subject=" does not fit
    };
    for (const row &r : rows) {
        const outcome o = run(r.cap, [&](char *out, int cap) {
            return qr_build_email(r.to, r.subject, r.body, out, cap);
        });
        EXPECT_EQ(o.rc, r.rc) << r.cap;
        EXPECT_EQ(o.text, r.text);
    }
}

TEST_F(library, PayloadSms) {
    struct row {
        const char *phone, *message;
        int cap;
        int rc;
        const char *text;
    };
    const char *bad = "qr_build_sms: bad args (phone required)";
    const char *too_long = "qr_build_sms: payload too long";
    const row rows[] = {
        {"+12 (34) 5-6", nullptr, 1024, 0, "smsto:+12345-6"},
        {"abc", "", 1024, -1, bad},  // no digit: a link to no one
        {"+-", "hi", 1024, -1, bad},
        {"call 5", "", 1024, 0, "smsto:5"},
        {"1", "a:b", 1024, 0, "smsto:1:a:b"},
        {"", "hi", 1024, -1, bad},
        {"1", nullptr, 15, -1, bad},
        {"1", nullptr, 16, 0, "smsto:1"},
        {"1", "abcdefgh", 18, 0, "smsto:1:abcdefgh"},  // cap - 2 bytes
        {"1", "abcdefgh", 17, -1, too_long},
        {"12345678", "", 16, 0, "smsto:12345678"},
        {"123456789", "", 16, -1, too_long},
    };
    for (const row &r : rows) {
        const outcome o = run(
            r.cap, [&](char *out, int cap) { return qr_build_sms(r.phone, r.message, out, cap); });
        EXPECT_EQ(o.rc, r.rc) << r.cap;
        EXPECT_EQ(o.text, r.text);
    }
}

TEST_F(library, PayloadGeoUsesAPointWhateverTheLocale) {
    struct row {
        double lat, lon;
        int cap;
        int rc;
        const char *text;
    };
    const char *range = "qr_build_geo: lat/lon out of range";
    const row rows[] = {
        {90, -180, 64, 0, "geo:90.000000,-180.000000"},
        {-33.8688, 151.2093, 64, 0, "geo:-33.868800,151.209300"},
        {0, 0, 22, 0, "geo:0.000000,0.000000"},
        {0, 0, 21, -1, "qr_build_geo: buffer too small"},
        {90.0000001, 0, 64, -1, range},
        {0, -180.5, 64, -1, range},
        {NaN, 0, 64, -1, range},
        {0, NaN, 64, -1, range},
        {std::numeric_limits<double>::infinity(), 0, 64, -1, range},
        {0, 0, 15, -1, range},
    };
    ASSERT_NE(std::setlocale(LC_ALL, "de_DE.utf8"), nullptr);
    for (const row &r : rows) {
        const outcome o =
            run(r.cap, [&](char *out, int cap) { return qr_build_geo(r.lat, r.lon, out, cap); });
        EXPECT_EQ(o.rc, r.rc) << r.lat << "," << r.lon;
        EXPECT_EQ(o.text, r.text);
    }
    std::setlocale(LC_ALL, "C");
}

TEST(PayloadEvent, IcalStamp) {
    struct row {
        const char *src;
        const char *stamp;
    };  // stamp null: refused
    const row rows[] = {
        // Dates stay dates.
        {"2024-05-01", "20240501"},
        {"20240501", "20240501"},
        {"2024-0501", "20240501"},
        {"2024-02-29", "20240229"},
        {"2000-02-29", "20000229"},
        // Floating local times; seconds optional, any of T, t or a space.
        {"2024-05-01T10:30:00", "20240501T103000"},
        {"2024-05-01 10:30", "20240501T103000"},
        {"2024-05-01t10:30:59", "20240501T103059"},
        {"20240501T1030", "20240501T103000"},
        {"2024-05-01T10:30:00.123", "20240501T103000"},
        {"2016-12-31T23:59:60", "20161231T235960"},
        // UTC.
        {"2024-05-01T10:30:00Z", "20240501T103000Z"},
        {"20240501T103000z", "20240501T103000Z"},
        {"2024-05-01t10:30:00.123Z", "20240501T103000Z"},
        {"2024-05-01T10:30:00.Z", "20240501T103000Z"},
        {"2024-05-01 10:30Z", "20240501T103000Z"},
        // Offsets are taken off, across days, months, years and leap days.
        {"2024-05-01T10:30:00+02:00", "20240501T083000Z"},
        {"2024-05-01T10:30+0200", "20240501T083000Z"},
        {"2024-05-01T10:30:00+02", "20240501T083000Z"},
        {"2024-05-01T10:30:00-05:30", "20240501T160000Z"},
        {"2024-05-01T10:30:00.5-00:00", "20240501T103000Z"},
        {"2024-01-01T01:00:00+05:45", "20231231T191500Z"},
        {"2024-02-28T23:00:00-01:30", "20240229T003000Z"},
        {"2023-02-28T23:00:00-01:30", "20230301T003000Z"},
        {"2024-12-31T22:00:00-14:00", "20250101T120000Z"},
        {"2016-12-31T23:59:60+01:00", "20161231T225960Z"},
        // Refused: missing or extra parts, out-of-range fields.
        {"2024-05-01T10", nullptr},
        {"2024-05-01T10:3", nullptr},
        {"2024-05-01T10:30:", nullptr},
        {"2024-05-01T10:30:0", nullptr},
        {"2024-05-01T10:30.5", nullptr},
        {"2024-05-01 ", nullptr},
        {"2024-05-01T", nullptr},
        {"2024-05-01Z", nullptr},
        {"2024-05-01x", nullptr},
        {"2024-05-01T10:30:00Zx", nullptr},
        {"2024-05-01T10:30:00 ", nullptr},
        {"2024-05-01T10:30:00+2", nullptr},
        {"2024-05-01T10:30:00+02:0", nullptr},
        {"2024-05-01T10:30:00+24:00", nullptr},
        {"2024-05-01T10:30:00+02:60", nullptr},
        {"2024-05-01T10:30:00+", nullptr},
        {"2024-13-01", nullptr},
        {"2024-00-01", nullptr},
        {"2024-04-31", nullptr},
        {"2024-05-00", nullptr},
        {"2023-02-29", nullptr},
        {"1900-02-29", nullptr},
        {"2024-05-01T24:00", nullptr},
        {"2024-05-01T10:60", nullptr},
        {"2024-05-01T10:30:61", nullptr},
        {"9999-12-31T23:30:00-01:00", nullptr},  // would be year 10000
        {"0000-01-01T00:30:00+01:00", nullptr},
        {"24-05-01", nullptr},
        {"", nullptr},
        {"2024-05-0", nullptr},
        {"x", nullptr},
    };
    for (const row &r : rows) {
        char stamp[32] = {};
        const int rc = ical_stamp(r.src, stamp);
        EXPECT_EQ(rc, r.stamp ? 0 : -1) << r.src;
        if (r.stamp) {
            EXPECT_STREQ(stamp, r.stamp) << r.src;
        }
    }
}

// Payload line by line, with the UID and DTSTAMP lines checked against the
// clock and then replaced by placeholders.
std::string event_shape(std::string payload, std::time_t before, std::time_t after) {
    const std::regex uid("UID:vantelor-qrcode-([0-9TZ]+)-([0-9]+)@vantelor\\.invalid\r\n");
    std::smatch m;
    EXPECT_TRUE(std::regex_search(payload, m, uid)) << payload;
    if (m.empty()) return payload;
    const auto t = static_cast<std::time_t>(std::stoll(m[2].str()));
    EXPECT_TRUE(t >= before && t <= after);
    payload = std::regex_replace(payload, uid, "UID:$1\r\n");
    char stamp[32];
    std::tm utc{};
    gmtime_r(&t, &utc);
    std::strftime(stamp, sizeof stamp, "DTSTAMP:%Y%m%dT%H%M%SZ\r\n", &utc);
    const std::size_t at = payload.find(stamp);
    EXPECT_NE(at, std::string::npos) << payload;
    if (at != std::string::npos) payload.replace(at, std::strlen(stamp), "DTSTAMP\r\n");
    return payload;
}

const std::string HDR109 =
    "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//Vantelor//vantelor-qrcode 2.0//EN\r\n"
    "CALSCALE:GREGORIAN\r\nBEGIN:VEVENT\r\n";
const std::string FTR27 = "END:VEVENT\r\nEND:VCALENDAR\r\n";

TEST_F(library, PayloadEventLines) {
    ASSERT_EQ(HDR109.size(), 109u);
    ASSERT_EQ(FTR27.size(), 27u);
    struct row {
        const char *title, *start, *end, *location;
        std::string body;
    };
    const row rows[] = {
        {"Meet", "2024-05-01", nullptr, "",
         "UID:20240501\r\nDTSTAMP\r\nDTSTART:20240501\r\n"
         "SUMMARY:Meet\r\n"},
        {"", "2024-05-01T10:30:00Z", "2024-05-01T11:00:00", "Room 1",
         "UID:20240501T103000Z\r\nDTSTAMP\r\nDTSTART:20240501T103000Z\r\n"
         "DTEND:20240501T110000\r\nSUMMARY:\r\nLOCATION:Room 1\r\n"},
        // Line breaks cannot start a second property or event.
        {"a\r\nEND:VEVENT\r\nBEGIN:VEVENT", "20240501", "", "b\nc\rd,e;f",
         "UID:20240501\r\nDTSTAMP\r\nDTSTART:20240501\r\n"
         "SUMMARY:a\\nEND:VEVENT\\nBEGIN:VEVENT\r\nLOCATION:b\\nc\\nd\\,e\\;f\r\n"},
        // Text escapes; a colon and a quotation mark need none.
        {"A, b; c\\d: \"e\"", "2030-05-01T10:30:00+02:00", "2030-05-01 12:00+02", "\\\\",
         "UID:20300501T083000Z\r\nDTSTAMP\r\nDTSTART:20300501T083000Z\r\n"
         "DTEND:20300501T100000Z\r\nSUMMARY:A\\, b\\; c\\\\d: \"e\"\r\nLOCATION:\\\\\\\\\r\n"},
    };
    for (const row &r : rows) {
        const std::time_t before = std::time(nullptr);
        const outcome o = run(2048, [&](char *out, int cap) {
            return qr_build_event(r.title, r.start, r.end, r.location, out, cap);
        });
        ASSERT_EQ(o.rc, 0) << o.text;
        EXPECT_EQ(event_shape(o.text, before, std::time(nullptr)), HDR109 + r.body + FTR27);
    }
}

TEST_F(library, PayloadEventFailuresAndBoundaries) {
    struct row {
        const char *title, *start, *end;
        int cap;
        const char *msg;
    };
    const char *bad = "qr_build_event: bad args (title + start required)";
    const char *before = "qr_build_event: end before start";
    const row rows[] = {
        {nullptr, "2024-05-01", nullptr, 2048, bad},
        {"t", nullptr, nullptr, 2048, bad},
        {"t", "2024-05-01", nullptr, 255, bad},
        {"t", "", nullptr, 2048, "qr_build_event: bad start timestamp (need ISO 8601)"},
        {"t", "2024-05-01T10", "x", 2048, "qr_build_event: bad start timestamp (need ISO 8601)"},
        {"t", "2024-05-01", "x", 2048, "qr_build_event: bad end timestamp (need ISO 8601)"},
        {"t", "2024-04-31", "2024-05-01", 2048,
         "qr_build_event: bad start timestamp (need ISO 8601)"},
        {"t", "2024-05-01T10:00Z", "2024-05-01T25:00Z", 2048,
         "qr_build_event: bad end timestamp (need ISO 8601)"},
        {"t", "2024-05-01T10:30Z", "2024-05-01T10:29:59Z", 2048, before},
        {"t", "2024-05-01T10:30+02:00", "2024-05-01T08:00Z", 2048, before},
        {"t", "2024-05-02", "2024-05-01T23:00", 2048, before},
        {"t", "2024-05-01T10:30", "2024-04-30", 2048, before},
    };
    for (const row &r : rows) {
        const outcome o = run(r.cap, [&](char *out, int cap) {
            return qr_build_event(r.title, r.start, r.end, nullptr, out, cap);
        });
        EXPECT_EQ(o.rc, -1);
        EXPECT_EQ(o.text, r.msg);
    }
    EXPECT_EQ(run(256,
                  [](char *out, int cap) {
                      return qr_build_event("t", "2024-05-01", nullptr, nullptr, out, cap);
                  })
                  .rc,
              0);
    // The payload may hold cap - 2 bytes; fixed parts longer than 256 bytes
    // stay inside the buffer too.
    const std::string title(150, 't');
    auto build = [&](int cap) {
        return run(cap, [&](char *out, int c) {
            return qr_build_event(title.c_str(), "2024-05-01T10:30:00Z", "2024-05-01T11:00:00Z",
                                  "L", out, c);
        });
    };
    const auto len = static_cast<int>(build(2048).text.size());
    EXPECT_EQ(build(len + 2).rc, 0);
    EXPECT_EQ(build(len + 1).text, "qr_build_event: payload too long");
    EXPECT_EQ(build(256).text, "qr_build_event: payload too long");
    // Escapes count: the longest title of semicolons that fits, and one more.
    auto semis = [](std::size_t k) {
        const std::string t(k, ';');
        return run(2048, [&](char *out, int cap) {
            return qr_build_event(t.c_str(), "2024-05-01", nullptr, nullptr, out, cap);
        });
    };
    const std::size_t most = (2046 - semis(0).text.size()) / 2;
    EXPECT_EQ(semis(most).rc, 0);
    EXPECT_EQ(semis(most + 1).text, "qr_build_event: payload too long");
}

// SOURCE_DATE_EPOCH stands in for the clock, so the same arguments give the
// same bytes; a value that is not plain seconds is refused, not ignored.
TEST_F(library, PayloadEventUnderSourceDateEpoch) {
    struct row {
        const char *epoch;
        std::string text;  // the UID and DTSTAMP lines, or the message
    };
    const char *bad = "qr_build_event: bad SOURCE_DATE_EPOCH (need seconds since 1970)";
    const row rows[] = {
        {"1714559400",
         "UID:vantelor-qrcode-20240501-1714559400@vantelor.invalid\r\n"
         "DTSTAMP:20240501T103000Z\r\n"},
        {"0", "UID:vantelor-qrcode-20240501-0@vantelor.invalid\r\nDTSTAMP:19700101T000000Z\r\n"},
        {"0951782400",
         "UID:vantelor-qrcode-20240501-951782400@vantelor.invalid\r\n"
         "DTSTAMP:20000229T000000Z\r\n"},
        // The UID keeps the low 32 bits of the reading.
        {"253402300799",
         "UID:vantelor-qrcode-20240501-4294197631@vantelor.invalid\r\n"
         "DTSTAMP:99991231T235959Z\r\n"},
        {"253402300800", bad},
        {"99999999999999999999999", bad},
        {"-1", bad},
        {" 1", bad},
        {"1.5", bad},
        {"12a", bad},
    };
    for (const row &r : rows) {
        ASSERT_EQ(setenv("SOURCE_DATE_EPOCH", r.epoch, 1), 0);
        const outcome o = run(2048, [](char *out, int cap) {
            return qr_build_event("t", "2024-05-01", nullptr, nullptr, out, cap);
        });
        if (o.rc == 0) {
            EXPECT_EQ(o.text, HDR109 + r.text + "DTSTART:20240501\r\nSUMMARY:t\r\n" + FTR27);
        } else {
            EXPECT_EQ(o.text, r.text) << r.epoch;
        }
    }
    // Empty counts as not set: the clock gives the stamp.
    ASSERT_EQ(setenv("SOURCE_DATE_EPOCH", "", 1), 0);
    const std::time_t before = std::time(nullptr);
    const outcome o = run(2048, [](char *out, int cap) {
        return qr_build_event("t", "2024-05-01", nullptr, nullptr, out, cap);
    });
    unsetenv("SOURCE_DATE_EPOCH");
    ASSERT_EQ(o.rc, 0) << o.text;
    EXPECT_EQ(event_shape(o.text, before, std::time(nullptr)),
              HDR109 + "UID:20240501\r\nDTSTAMP\r\nDTSTART:20240501\r\nSUMMARY:t\r\n" + FTR27);
}

TEST_F(library, PayloadEventsInOneSecondShareTheUid) {
    char a[2048], b[2048];
    for (int attempt = 0; attempt < 3; ++attempt) {
        ASSERT_EQ(qr_build_event("t", "2024-05-01", nullptr, nullptr, a, 2048), QR_OK);
        ASSERT_EQ(qr_build_event("t", "2024-05-01", nullptr, nullptr, b, 2048), QR_OK);
        if (std::strcmp(a, b) == 0) break;  // otherwise the clock moved on in between
    }
    EXPECT_STREQ(a, b);
}

// ---- Encoders ------------------------------------------------------------------

TEST_F(library, PayloadEncodersCheckThePathFirst) {
    struct row {
        std::function<int()> call;
        const char *msg;
    };
    const row rows[] = {
        {[] { return qr_encode_wifi(nullptr, nullptr, nullptr, nullptr, 4); },
         "qr_encode_wifi: NULL output path"},
        {[] { return qr_encode_vcard(nullptr, nullptr, nullptr, nullptr, 4); },
         "qr_encode_vcard: NULL output path"},
        {[] { return qr_encode_email(nullptr, nullptr, nullptr, nullptr, 4); },
         "qr_encode_email: NULL output path"},
        {[] { return qr_encode_sms(nullptr, nullptr, nullptr, 4); },
         "qr_encode_sms: NULL output path"},
        {[] { return qr_encode_geo(NaN, 500, nullptr, 4); }, "qr_encode_geo: NULL output path"},
        {[] { return qr_encode_event(nullptr, nullptr, nullptr, nullptr, nullptr, 4); },
         "qr_encode_event: NULL output path"},
    };
    for (const row &r : rows) {
        EXPECT_EQ(r.call(), -1);
        EXPECT_STREQ(qr_last_error(), r.msg);
    }
}

// Fields of 1,100 bytes and more: every encoder refuses them with its
// builder's message and touches no file.
TEST_F(library, PayloadEncodersRefuseOversizedFields) {
    vqr_test::temp_dir dir;
    const std::string path = (dir / "out.png").string();
    const std::string semis(1100, ';');
    const std::string text(1100, 'x');
    const std::string spaces(1100, ' ');
    const std::string digits(1100, '5');
    const std::string lines = [] {
        std::string s;
        for (int i = 0; i < 1100; ++i) s += "\r\n";
        return s;
    }();
    const char *p = path.c_str();
    struct row {
        std::function<int()> call;
        const char *msg;
    };
    const row rows[] = {
        {[&] { return qr_encode_wifi(semis.c_str(), nullptr, nullptr, p, 4); },
         "qr_build_wifi: payload too long"},
        {[&] { return qr_encode_wifi("n", text.c_str(), semis.c_str(), p, 4); },
         "qr_build_wifi: payload too long"},
        {[&] { return qr_encode_vcard(text.c_str(), text.c_str(), text.c_str(), p, 4); },
         "qr_build_vcard: payload too long"},
        {[&] { return qr_encode_vcard(semis.c_str(), nullptr, nullptr, p, 4); },
         "qr_build_vcard: payload too long"},
        {[&] { return qr_encode_vcard("n", "1", lines.c_str(), p, 4); },
         "qr_build_vcard: line break in phone or email"},
        {[&] { return qr_encode_vcard(nullptr, "1", "e", p, 4); }, "qr_build_vcard: bad args"},
        {[&] { return qr_encode_email(text.c_str(), spaces.c_str(), spaces.c_str(), p, 4); },
         "qr_build_email: payload too long"},
        {[&] { return qr_encode_sms(digits.c_str(), text.c_str(), p, 4); },
         "qr_build_sms: payload too long"},
        {[&] { return qr_encode_event((text + text).c_str(), "20240501", nullptr, nullptr, p, 4); },
         "qr_build_event: payload too long"},
        {[&] { return qr_encode_event("t", "20240501", nullptr, lines.c_str(), p, 4); },
         "qr_build_event: payload too long"},
        {[&] { return qr_encode_geo(0, NaN, p, 4); }, "qr_build_geo: lat/lon out of range"},
    };
    for (const row &r : rows) {
        EXPECT_EQ(r.call(), -1);
        EXPECT_STREQ(qr_last_error(), r.msg);
        EXPECT_FALSE(std::filesystem::exists(path)) << r.msg;
    }
}

// Each encoder's PNG, read by an independent decoder, gives the payload
// text exactly (CR LF included).
TEST_F(library, PayloadEncodersRoundTrip) {
    vqr_test::temp_dir dir;
    const std::string path = (dir / "p.png").string();
    const char *p = path.c_str();
    struct row {
        std::function<int()> call;
        std::string text;
    };
    const row rows[] = {
        {[&] { return qr_encode_wifi("Cafe;Net", "p:w\"d", nullptr, p, 4); },
         "WIFI:T:WPA;S:Cafe\\;Net;P:p\\:w\\\"d;;"},
        {[&] { return qr_encode_vcard("Ada Lovelace", "+44 20 7946", "ada@example.org", p, 4); },
         VC +
             "N:Lovelace;Ada;;;\r\nFN:Ada Lovelace\r\nTEL;TYPE=CELL:+44 20 7946\r\n"
             "EMAIL:ada@example.org\r\n" +
             VE},
        {[&] { return qr_encode_email("me@example.org", "Hi there", "a\r\nb", p, 4); },
         "mailto:me@example.org?subject=Hi%20there&body=a%0D%0Ab"},
        {[&] { return qr_encode_sms("+1 (555) 010", "Call me: now", p, 4); },
         "smsto:+1555010:Call me: now"},
        {[&] { return qr_encode_geo(-33.8688, 151.2093, p, 4); }, "geo:-33.868800,151.209300"},
    };
    for (const row &r : rows) {
        ASSERT_EQ(r.call(), 1) << qr_last_error();
        const auto img = vqr_test::read_image(path);
        ASSERT_TRUE(img.has_value());
        EXPECT_EQ(vqr_test::zxing_read(*img), r.text);
    }
    const std::time_t before = std::time(nullptr);
    ASSERT_EQ(qr_encode_event("Launch", "2024-05-01T10:30:00Z", nullptr, "Hall", p, 4), 1);
    const auto img = vqr_test::read_image(path);
    ASSERT_TRUE(img.has_value());
    const auto read = vqr_test::zxing_read(*img);
    ASSERT_TRUE(read.has_value());
    EXPECT_EQ(event_shape(*read, before, std::time(nullptr)),
              HDR109 +
                  "UID:20240501T103000Z\r\nDTSTAMP\r\nDTSTART:20240501T103000Z\r\n"
                  "SUMMARY:Launch\r\nLOCATION:Hall\r\n" +
                  FTR27);
}

}  // namespace

namespace {

// The payload text functions give exactly what the matching encoder draws,
// and fail with its builder's message.
TEST_F(library, PayloadTextsAreWhatTheEncodersDraw) {
    vqr_test::temp_dir dir;
    const std::string path = (dir / "p.png").string();
    const char *p = path.c_str();
    ASSERT_EQ(setenv("SOURCE_DATE_EPOCH", "1700000000", 1), 0);
    struct row {
        std::function<const char *()> text;
        std::function<int()> encode;
    };
    const row rows[] = {
        {[] { return qr_text_wifi("Home;1", "p\\w", "WPA"); },
         [&] { return qr_encode_wifi("Home;1", "p\\w", "WPA", p, 4); }},
        {[] { return qr_text_vcard("Ada, L", "+1 555", "a@b.c"); },
         [&] { return qr_encode_vcard("Ada, L", "+1 555", "a@b.c", p, 4); }},
        {[] { return qr_text_email("a@b.c", "Hi there", "x&y"); },
         [&] { return qr_encode_email("a@b.c", "Hi there", "x&y", p, 4); }},
        {[] { return qr_text_sms("+1-555", "on my way"); },
         [&] { return qr_encode_sms("+1-555", "on my way", p, 4); }},
        {[] { return qr_text_geo(48.2, -16.4); }, [&] { return qr_encode_geo(48.2, -16.4, p, 4); }},
        {[] { return qr_text_event("Launch; 1", "2030-05-01T10:30+02:00", nullptr, "Hall"); },
         [&] {
             return qr_encode_event("Launch; 1", "2030-05-01T10:30+02:00", nullptr, "Hall", p, 4);
         }},
    };
    for (const row &r : rows) {
        const char *text = r.text();
        ASSERT_NE(text, nullptr) << qr_last_error();
        const std::string want = text;
        ASSERT_EQ(r.encode(), 1) << qr_last_error();
        EXPECT_EQ(qr_decode_from_file(p), want);
    }
    unsetenv("SOURCE_DATE_EPOCH");
    EXPECT_EQ(qr_text_event("t", "2030-05-01", "2029-01-01", nullptr), nullptr);
    EXPECT_STREQ(qr_last_error(), "qr_build_event: end before start");
    EXPECT_EQ(qr_text_geo(NaN, 0), nullptr);
    EXPECT_STREQ(qr_last_error(), "qr_build_geo: lat/lon out of range");
    EXPECT_EQ(qr_text_sms("call me", nullptr), nullptr);
    EXPECT_STREQ(qr_last_error(), "qr_build_sms: bad args (phone required)");
}

}  // namespace
