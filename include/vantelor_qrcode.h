/*
 * vantelor-qrcode: styled QR codes (PNG and SVG), payload texts, and reading
 * QR codes from images, behind a flat C interface.
 *
 * Properties that hold for every function below:
 *  - Threads: any thread may call any function at any time. Calls are
 *    serialised by one internal lock (they run one after another, never
 *    side by side). The style is process-wide: a setter or preset called by
 *    one thread changes what every thread draws next. The texts the library
 *    hands out (the last error, the SVG document, the decode result) belong
 *    to the calling thread: another thread's calls never rewrite or free
 *    them, and each thread starts with "no error". Read qr_last_error on
 *    the thread that made the failing call.
 *  - Arguments are clamped into range rather than rejected: style numbers to
 *    their ranges, colour channels to 0..255, module size to at least 1,
 *    quiet zone to at least 0, an error-correction level outside 0..3 to M.
 *  - Error-correction levels: 0 = L, 1 = M, 2 = Q, 3 = H.
 *  - Encoders return 1 on success and -1 on failure (or a pointer / NULL);
 *    every failure leaves one fixed English message in qr_last_error().
 *    Successful calls never clear that message.
 *  - Texts are zero-terminated byte strings (UTF-8 passes through unchanged);
 *    paths go to the C runtime unchanged.
 *  - Images (logos, decoder input) are checked on their header before they
 *    are decoded: one above 2^26 pixels, or whose loader would need more
 *    than 512 MiB of working memory (16-bit, floating-point HDR and
 *    progressive JPEG images need more per pixel than 8-bit ones), is
 *    refused with the reader's usual message. The decoders also refuse an
 *    image below 21 x 21 pixels from its header.
 *  - Pointers returned by qr_last_error, qr_encode_to_svg_string and the
 *    decoders belong to the library and stay valid until the same thread's
 *    next call that rewrites them, or until that thread ends. PNG buffers
 *    from qr_encode_to_memory belong to the caller and are released with
 *    qr_free_buffer.
 *  - Files are replaced in one step: the bytes go to a temporary file in the
 *    destination's folder, which is renamed over the destination once it is
 *    complete. A failed write leaves the old file as it was and no temporary
 *    file behind. A symbolic link is written through to its target (the link
 *    stays a link); a replaced file keeps its permission bits (its owner
 *    becomes the writing user), a new one gets 0666 less the umask. A device
 *    or pipe is written in place. The folder must accept new files.
 */
#ifndef VANTELOR_QRCODE_H
#define VANTELOR_QRCODE_H

#if defined(VANTELOR_QRCODE_BUILD)
#define QR_EXPORT __attribute__((visibility("default")))
#else
#define QR_EXPORT
#endif

/* No function of the library throws; C++ hosts see that in the type. */
#ifdef __cplusplus
#define QR_API QR_EXPORT
#define QR_NOTHROW noexcept
extern "C" {
#else
#define QR_API QR_EXPORT
#define QR_NOTHROW
#endif

/* ---- Lifecycle, errors, version ---------------------------------------- */

/* Restores the default style (black square figures on opaque white, no
 * logo), marks the library initialised and empties the last-error text.
 * Always returns 1. Until it is called, every style setter, preset and
 * qr_get_version first restores the defaults, so settings do not accumulate. */
QR_API int qr_init(void) QR_NOTHROW;
/* Restores the default style and clears the initialised mark. Releases
 * nothing and keeps the last-error text. */
QR_API void qr_cleanup(void) QR_NOTHROW;
/* The last failure's message ("no error" before any failure, "" after
 * qr_init). Never NULL; owned by the library. */
QR_API const char *qr_last_error(void) QR_NOTHROW;
/* The QR version (1..40) that `text` needs at level `ecc`, or 0 when `text`
 * is NULL or does not fit in version 40. Ignores a set logo. */
QR_API int qr_get_version(const char *text, int ecc) QR_NOTHROW;

/* ---- Style setters (never fail; values are clamped) --------------------- */

/* Module figure: 0 block, 1 pill, 2 disc, 3 leaf, 4 petal, 5 fan. */
QR_API void qr_set_dot_style(int style) QR_NOTHROW;
QR_API void qr_set_dot_color(int r, int g, int b) QR_NOTHROW;
/* Gradient setters: `type` 1 is radial, any other value linear; `rotation`
 * in degrees (0 runs left to right, 90 top to bottom). A gradient setter
 * switches its gradient on; the matching colour setter switches it off. */
QR_API void qr_set_dot_gradient(int type, float rotation, int start_r, int start_g,
                                int start_b, int end_r, int end_g, int end_b) QR_NOTHROW;
/* Finder ring figure: 0 box, 1 circle, 2 cushion, 3 pebble, 4 tile, 5 tube. */
QR_API void qr_set_corner_square_style(int style) QR_NOTHROW;
QR_API void qr_set_corner_square_color(int r, int g, int b) QR_NOTHROW;
QR_API void qr_set_corner_square_gradient(int type, float rotation, int start_r,
                                          int start_g, int start_b, int end_r,
                                          int end_g, int end_b) QR_NOTHROW;
/* Finder centre figure: 0 box, 1 disc, 2 cushion. */
QR_API void qr_set_corner_dot_style(int style) QR_NOTHROW;
QR_API void qr_set_corner_dot_color(int r, int g, int b) QR_NOTHROW;
QR_API void qr_set_corner_dot_gradient(int type, float rotation, int start_r,
                                       int start_g, int start_b, int end_r, int end_g,
                                       int end_b) QR_NOTHROW;
/* Background colour with alpha (0 transparent .. 255 opaque). */
QR_API void qr_set_background_color(int r, int g, int b, int a) QR_NOTHROW;
/* Also makes the background opaque (alpha 255). */
QR_API void qr_set_background_gradient(int type, float rotation, int start_r,
                                       int start_g, int start_b, int end_r,
                                       int end_g, int end_b) QR_NOTHROW;
/* Restores the default style; keeps the initialised mark and error text. */
QR_API void qr_reset_style(void) QR_NOTHROW;
/* Centre logo: an image file (any format the reader accepts), `size` the box
 * side as a fraction of the symbol width (above 0, at most 0.5), `margin`
 * a clear border in pixels. A NULL path or a size <= 0 removes the logo.
 * The file is read at encode time; a set logo raises the level to H.
 * The image is shrunk to fit the box but never below 5% of its own size:
 * a logo more than 20 times wider or taller than the box (less margins) is
 * drawn larger than the box and can cover the code. Make the image about
 * the size it is drawn at (`size` x the symbol width in pixels). */
QR_API void qr_set_logo(const char *path, float size, int margin) QR_NOTHROW;
/* One of "modern", "dots", "elegant", "neon", "corporate", "minimal" (exact,
 * case-sensitive). Returns 1, or -1 for NULL or an unknown name. */
QR_API int qr_apply_preset(const char *preset_name) QR_NOTHROW;

/* ---- Raster encoding (PNG) ---------------------------------------------- */

/* Writes an 8-bit RGBA PNG file. `module_size` pixels per module (>= 1),
 * `quiet_zone` modules of border (>= 0). The file is written only after the
 * image exists, so a failing encode never creates or truncates it. */
QR_API int qr_encode_to_file(const char *text, const char *path, int ecc,
                             int module_size, int quiet_zone) QR_NOTHROW;
/* Returns PNG bytes (release with qr_free_buffer) and their count in
 * *out_len when out_len is not NULL; NULL on failure. */
QR_API unsigned char *qr_encode_to_memory(const char *text, int ecc, int module_size,
                                          int quiet_zone, int *out_len) QR_NOTHROW;
/* Releases a buffer from qr_encode_to_memory; NULL does nothing. */
QR_API void qr_free_buffer(void *buf) QR_NOTHROW;

/* ---- SVG encoding ------------------------------------------------------- */

/* Returns the SVG 1.1 document text, owned by the library and valid until
 * the calling thread's next SVG call; NULL on failure. */
QR_API const char *qr_encode_to_svg_string(const char *text, int ecc, int module_size,
                                           int quiet_zone) QR_NOTHROW;
QR_API int qr_encode_to_svg_file(const char *text, const char *path, int ecc,
                                 int module_size, int quiet_zone) QR_NOTHROW;

/* ---- Payload encoders (PNG file, level Q, quiet zone 2) ----------------- */

/* "WIFI:T:<security>;S:<ssid>;P:<password>;;" (security defaults to WPA). */
QR_API int qr_encode_wifi(const char *ssid, const char *password, const char *security,
                          const char *path, int module_size) QR_NOTHROW;
/* vCard 3.0 with N, FN and optional TEL and EMAIL lines. */
QR_API int qr_encode_vcard(const char *name, const char *phone, const char *email,
                           const char *path, int module_size) QR_NOTHROW;
/* "mailto:" link with optional subject and body. */
QR_API int qr_encode_email(const char *to, const char *subject, const char *body,
                           const char *path, int module_size) QR_NOTHROW;
/* "smsto:<phone>:<message>". */
QR_API int qr_encode_sms(const char *phone, const char *message, const char *path,
                         int module_size) QR_NOTHROW;
/* "geo:<lat>,<lon>" with six decimals; lat in -90..90, lon in -180..180. */
QR_API int qr_encode_geo(double lat, double lon, const char *path, int module_size) QR_NOTHROW;
/* One-event iCalendar object; `start` and `end` in ISO 8601 form. */
QR_API int qr_encode_event(const char *title, const char *start, const char *end,
                           const char *location, const char *path, int module_size) QR_NOTHROW;
/* JSON array of {"text": ..., "filename": ...}: one PNG per item in
 * `out_dir` (not empty). Returns the number of items written, or -1. A text
 * holding an escaped NUL byte fails its item. */
QR_API int qr_encode_batch(const char *json, const char *out_dir, int ecc,
                           int module_size, int quiet_zone) QR_NOTHROW;

/* ---- Decoding ----------------------------------------------------------- */

/* The text of the first QR code found in the image, or "" on failure (see
 * qr_last_error). Always the calling thread's library-owned buffer, valid
 * until that thread's next decode call. */
QR_API const char *qr_decode_from_file(const char *path) QR_NOTHROW;
QR_API const char *qr_decode_from_memory(const unsigned char *data, int len) QR_NOTHROW;

#ifdef __cplusplus
}
#endif

#endif /* VANTELOR_QRCODE_H */
