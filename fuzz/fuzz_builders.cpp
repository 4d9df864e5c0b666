// Payload builders on random fields and capacities. Each builder writes into
// a heap block of exactly `cap` bytes, so the sanitizer sees any write past
// it. Beyond memory safety the target checks what a reader relies on: a
// success holds the whole payload (it equals the one built with room to
// spare and reads back to the fields), a failure comes exactly when the
// payload does not fit, and no value can add a line to a contact card or an
// event.
//
// Input: two bytes of capacity, one byte of flags (bit i: field i is null),
// two bytes for the field routines' start position, eight bytes of
// coordinates, then up to four fields separated by NUL bytes.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "qrcode_payload.h"
#include "vantelor_qrcode.h"

namespace {

void check(bool ok) {
    if (!ok) __builtin_trap();
}

// Enough for any field of a default-sized input, escaped three times over.
constexpr int ROOMY = 1 << 15;

struct built {
    int rc;
    std::string text;
    qr_error error;  // the builder's message when it failed
};

template <class F>
built build(int cap, F &&fn) {
    std::vector<char> buf(static_cast<std::size_t>(cap), '\x7f');
    const qr_error error = fn(buf.data(), cap);
    if (error == QR_OK) {
        const void *nul = std::memchr(buf.data(), '\0', buf.size());
        check(nul != nullptr);
        return {0, std::string(buf.data()), error};
    }
    return {-1, {}, error};
}

// A success equals the roomy payload; a failure happens exactly when that
// payload is longer than `limit` (with `slack` bytes of uncertainty for
// builders whose field routine stops early).
// With `mask_digits` the texts are compared with every digit as '0' (an
// event's time stamp may move on between the two builds).
void check_fit(const built &small, const built &roomy, int limit, int slack, const char *too_long,
               bool mask_digits = false) {
    if (roomy.rc != 0) return;
    const auto len = static_cast<int>(roomy.text.size());
    if (small.rc == 0) {
        auto masked = [&](std::string s) {
            if (mask_digits) {
                for (char &c : s) c = (c >= '0' && c <= '9') ? '0' : c;
            }
            return s;
        };
        check(masked(small.text) == masked(roomy.text));
        check(len <= limit);
    } else {
        check(len > limit - slack);
        check(std::strcmp(small.error, too_long) == 0);
    }
}

std::vector<std::string> split_unescaped(std::string_view s, char sep) {
    std::vector<std::string> parts(1);
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\\' && i + 1 < s.size()) {
            parts.back() += s[++i];
        } else if (s[i] == sep) {
            parts.emplace_back();
        } else {
            parts.back() += s[i];
        }
    }
    return parts;
}

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string pct_decode(std::string_view s) {
    std::string out;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '%') {
            check(i + 2 < s.size());
            const int hi = hex_value(s[i + 1]);
            const int lo = hex_value(s[i + 2]);
            check(hi >= 0 && lo >= 0);
            out += static_cast<char>(hi * 16 + lo);
            i += 2;
        } else {
            out += s[i];
        }
    }
    return out;
}

bool present(const char *s) { return s && *s; }

std::size_t count_of(std::string_view s, std::string_view what) {
    std::size_t n = 0;
    for (std::size_t at = s.find(what); at != std::string_view::npos; at = s.find(what, at + 1)) {
        ++n;
    }
    return n;
}

// Every CR is followed by LF and every LF preceded by CR, and there are
// exactly `lines` of them.
void check_lines(const std::string &payload, std::size_t lines) {
    check(count_of(payload, "\r\n") == lines);
    check(count_of(payload, "\r") == lines);
    check(count_of(payload, "\n") == lines);
}

void wifi(const char *f[4], int cap) {
    auto fn = [&](char *out, int c) { return qr_build_wifi(f[0], f[1], f[2], out, c); };
    const built small = build(cap, fn);
    const built roomy = build(ROOMY, fn);
    if (!f[0]) {
        check(roomy.rc == -1);
        return;
    }
    if (cap > 7) check_fit(small, roomy, cap - 1, 0, "qr_build_wifi: payload too long");
    if (roomy.rc != 0) return;
    const std::string_view text = roomy.text;
    check(text.substr(0, 5) == "WIFI:");
    const auto parts = split_unescaped(text.substr(5), ';');
    const bool has_password = present(f[1]);
    check(parts.size() == (has_password ? 5u : 4u));
    check(parts[0] == "T:" + std::string(present(f[2]) ? f[2] : "WPA"));
    check(parts[1] == "S:" + std::string(f[0]));
    if (has_password) check(parts[2] == "P:" + std::string(f[1]));
    check(parts[parts.size() - 2].empty() && parts.back().empty());
}

void vcard(const char *f[4], int cap) {
    auto fn = [&](char *out, int c) { return qr_build_vcard(f[0], f[1], f[2], out, c); };
    const built small = build(cap, fn);
    const built roomy = build(ROOMY, fn);
    if (!f[0]) return;
    if (cap >= 32) check_fit(small, roomy, cap - 1, 0, "qr_build_vcard: payload too long");
    if (roomy.rc == 0) {
        check_lines(roomy.text, 5u + (present(f[1]) ? 1u : 0u) + (present(f[2]) ? 1u : 0u));
    }
}

void email(const char *f[4], int cap) {
    auto fn = [&](char *out, int c) { return qr_build_email(f[0], f[1], f[2], out, c); };
    const built small = build(cap, fn);
    const built roomy = build(ROOMY, fn);
    if (!present(f[0])) {
        check(roomy.rc == -1);
        return;
    }
    // Percent-encoding starts no byte at cap - 3, even one that would fit.
    if (cap >= 16) check_fit(small, roomy, cap - 2, 1, "qr_build_email: payload too long");
    if (roomy.rc != 0) return;
    std::string_view text = roomy.text;
    check(text.substr(0, 7) == "mailto:");
    text.remove_prefix(7);
    const std::size_t query = text.find('?');
    check(pct_decode(text.substr(0, query)) == f[0]);
    std::string_view rest = query == std::string_view::npos ? "" : text.substr(query + 1);
    if (present(f[1])) {
        check(rest.substr(0, 8) == "subject=");
        const std::size_t amp = rest.find('&');
        check(pct_decode(rest.substr(8, amp == std::string_view::npos ? amp : amp - 8)) == f[1]);
        rest = amp == std::string_view::npos ? "" : rest.substr(amp + 1);
    }
    if (present(f[2])) {
        check(rest.substr(0, 5) == "body=");
        check(pct_decode(rest.substr(5)) == f[2]);
    } else {
        check(rest.empty());
    }
}

void sms(const char *f[4], int cap) {
    auto fn = [&](char *out, int c) { return qr_build_sms(f[0], f[1], out, c); };
    const built small = build(cap, fn);
    const built roomy = build(ROOMY, fn);
    if (!present(f[0])) {
        check(roomy.rc == -1);
        return;
    }
    if (cap >= 16) check_fit(small, roomy, cap - 2, 0, "qr_build_sms: payload too long");
    if (roomy.rc != 0) return;
    std::string expected = "smsto:";
    for (const char *p = f[0]; *p; ++p) {
        if (*p == '+' || *p == '-' || (*p >= '0' && *p <= '9')) expected += *p;
    }
    if (present(f[1])) expected += std::string(":") + f[1];
    check(roomy.text == expected);
}

void event(const char *f[4], int cap) {
    auto fn = [&](char *out, int c) { return qr_build_event(f[0], f[1], f[2], f[3], out, c); };
    const built small = build(cap, fn);
    const built roomy = build(ROOMY, fn);
    if (cap >= 256) check_fit(small, roomy, cap - 2, 0, "qr_build_event: payload too long", true);
    if (roomy.rc == 0) {
        check_lines(roomy.text, 11u + (present(f[2]) ? 1u : 0u) + (present(f[3]) ? 1u : 0u));
    }
    char stamp[32];
    if (f[0] && ical_stamp(f[0], stamp) == 0) {
        const std::size_t n = std::strlen(stamp);
        check(n == 8 || n == 15 || n == 16);
    }
}

void geo(double lat, double lon, int cap) {
    const built small =
        build(cap, [&](char *out, int c) { return qr_build_geo(lat, lon, out, c); });
    if (small.rc == 0) check(small.text.size() <= 26 && small.text.substr(0, 4) == "geo:");
}

// The field routines leave the last byte free for the caller's terminator.
void field_routines(const char *f[4], int cap, int pos0) {
    std::vector<char> buf(static_cast<std::size_t>(cap), '\x7f');
    int pos = pos0;
    escape_field(f[0], buf.data(), cap, &pos);
    check(pos >= pos0 && pos <= cap - 1 && buf.back() == '\x7f');
    pos = pos0;
    pct_encode(f[1], f[2], buf.data(), cap, &pos);
    check(pos >= pos0 && pos <= cap - 1 && buf.back() == '\x7f');
}

}  // namespace

// The entry point libFuzzer calls (declared here: no fuzzer header is used).
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size);

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    constexpr std::size_t HEAD = 13;
    if (size < HEAD) return 0;
    const int cap = 1 + (data[0] | data[1] << 8) % 2200;
    const unsigned nulls = data[2];
    const int pos0 = (data[3] | data[4] << 8) % cap;
    float coords[2];
    std::memcpy(coords, data + 5, sizeof coords);

    std::string fields[4];
    std::size_t k = 0;
    for (std::size_t i = HEAD; i < size && k < 4; ++i) {
        if (data[i] == 0) {
            ++k;
        } else {
            fields[k] += static_cast<char>(data[i]);
        }
    }
    const char *f[4];
    for (std::size_t i = 0; i < 4; ++i) f[i] = (nulls >> i) & 1u ? nullptr : fields[i].c_str();

    wifi(f, cap);
    vcard(f, cap);
    email(f, cap);
    sms(f, cap);
    event(f, cap);
    geo(static_cast<double>(coords[0]), static_cast<double>(coords[1]), cap);
    field_routines(f, cap, pos0);
    return 0;
}
