// Payload builders: field escaping and the Wi-Fi, contact card, e-mail, SMS,
// geo and calendar event texts. Each writes only into the caller's buffer of
// `cap` bytes; 0 on success, -1 with the message set.
#pragma once

void escape_field(const char *src, char *out, int cap, int *pos);
void pct_encode(const char *src, const char *keep, char *out, int cap, int *pos);
int qr_build_wifi(const char *ssid, const char *password, const char *security, char *out, int cap);
int qr_build_vcard(const char *name, const char *phone, const char *email, char *out, int cap);
int qr_build_email(const char *to, const char *subject, const char *body, char *out, int cap);
int qr_build_sms(const char *phone, const char *message, char *out, int cap);
int qr_build_geo(double lat, double lon, char *out, int cap);
int ical_stamp(const char *src, char *stamp);
int qr_build_event(const char *title, const char *start, const char *end, const char *location,
                   char *out, int cap);
