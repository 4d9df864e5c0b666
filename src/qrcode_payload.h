// Payload texts: field escaping and the Wi-Fi, contact card, e-mail, SMS,
// geo and calendar event builders. Each writes only into the caller's buffer
// of `cap` bytes and returns its message when it fails.
#pragma once

#include "qrcode_types.h"

void escape_field(const char *src, char *out, int cap, int *pos);
void pct_encode(const char *src, const char *keep, char *out, int cap, int *pos);
qr_error qr_build_wifi(const char *ssid, const char *password, const char *security, char *out,
                       int cap);
qr_error qr_build_vcard(const char *name, const char *phone, const char *email, char *out, int cap);
qr_error qr_build_email(const char *to, const char *subject, const char *body, char *out, int cap);
qr_error qr_build_sms(const char *phone, const char *message, char *out, int cap);
qr_error qr_build_geo(double lat, double lon, char *out, int cap);
int ical_stamp(const char *src, char *stamp);
qr_error qr_build_event(const char *title, const char *start, const char *end, const char *location,
                        char *out, int cap);

// The payload encoders draw at level Q with a two-module quiet zone.
inline constexpr int QR_PAYLOAD_ECC = 2;
inline constexpr int QR_PAYLOAD_QUIET_ZONE = 2;

// A payload text built at the size its encoder allows (1,024 bytes for
// Wi-Fi, contact cards and SMS, 2,048 for e-mail and events, 64 for geo).
inline constexpr int QR_PAYLOAD_CAP = 2048;
struct qr_payload {
    char text[QR_PAYLOAD_CAP];
};
qr_error qr_payload_wifi(const char *ssid, const char *password, const char *security,
                         qr_payload &out);
qr_error qr_payload_vcard(const char *name, const char *phone, const char *email, qr_payload &out);
qr_error qr_payload_email(const char *to, const char *subject, const char *body, qr_payload &out);
qr_error qr_payload_sms(const char *phone, const char *message, qr_payload &out);
qr_error qr_payload_geo(double lat, double lon, qr_payload &out);
qr_error qr_payload_event(const char *title, const char *start, const char *end,
                          const char *location, qr_payload &out);
