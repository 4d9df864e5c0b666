/* Stand-ins for library areas whose sources are still placeholders in this
 * tree (CMake compiles only the groups it finds missing). Each reports
 * failure, so programs link and fail cleanly until the real code lands; once
 * it has, CMake leaves this file out and the real functions are used. */
#include <stddef.h>
#include <vantelor_qrcode.h>

#ifdef VQR_PENDING_SVG
const char *qr_encode_to_svg_string(const char *text, int ecc, int module_size, int quiet_zone) {
    (void)text, (void)ecc, (void)module_size, (void)quiet_zone;
    return NULL;
}
int qr_encode_to_svg_file(const char *text, const char *path, int ecc, int module_size,
                          int quiet_zone) {
    (void)text, (void)path, (void)ecc, (void)module_size, (void)quiet_zone;
    return -1;
}
#endif

#ifdef VQR_PENDING_DECODE
static const char EMPTY[1] = "";
const char *qr_decode_from_file(const char *path) {
    (void)path;
    return EMPTY;
}
const char *qr_decode_from_memory(const unsigned char *data, int len) {
    (void)data, (void)len;
    return EMPTY;
}
#endif

#ifdef VQR_PENDING_HELPERS
int qr_encode_wifi(const char *ssid, const char *password, const char *security,
                   const char *path, int module_size) {
    (void)ssid, (void)password, (void)security, (void)path, (void)module_size;
    return -1;
}
int qr_encode_vcard(const char *name, const char *phone, const char *email, const char *path,
                    int module_size) {
    (void)name, (void)phone, (void)email, (void)path, (void)module_size;
    return -1;
}
int qr_encode_email(const char *to, const char *subject, const char *body, const char *path,
                    int module_size) {
    (void)to, (void)subject, (void)body, (void)path, (void)module_size;
    return -1;
}
int qr_encode_sms(const char *phone, const char *message, const char *path, int module_size) {
    (void)phone, (void)message, (void)path, (void)module_size;
    return -1;
}
int qr_encode_geo(double lat, double lon, const char *path, int module_size) {
    (void)lat, (void)lon, (void)path, (void)module_size;
    return -1;
}
int qr_encode_event(const char *title, const char *start, const char *end, const char *location,
                    const char *path, int module_size) {
    (void)title, (void)start, (void)end, (void)location, (void)path, (void)module_size;
    return -1;
}
int qr_encode_batch(const char *json, const char *out_dir, int ecc, int module_size,
                    int quiet_zone) {
    (void)json, (void)out_dir, (void)ecc, (void)module_size, (void)quiet_zone;
    return -1;
}
#endif
