/*
 * vantelor-qrcode: styled QR codes (PNG and SVG), payload texts, and reading
 * QR codes from images, behind a flat C interface of 32 functions.
 *
 * This header is the contract. Each declaration below states its ranges and
 * clamps, its caps, what it returns and who owns it, and every message a
 * failing call leaves in qr_last_error(). What is not stated here is not
 * promised.
 *
 * Part names. A QR symbol is drawn in three parts, each with its own figure
 * and paint. The "dot" of this interface (qr_set_dot_*) is a module: one
 * cell of the symbol's grid, drawn for every dark cell outside the three
 * finder patterns (timing and alignment patterns included). The "corner
 * square" (qr_set_corner_square_*) is a finder ring: the 7 x 7 outer ring of
 * each finder pattern in three corners of the symbol. The "corner dot"
 * (qr_set_corner_dot_*) is a finder centre: the 3 x 3 block inside each
 * ring. The documentation, the vqr tool (--module-*, --ring-*, --center-*)
 * and the Python package (module_style, ring_style, center_style) call them
 * module, ring and centre. The "background" is everything else: the light
 * cells, the quiet zone around the symbol and the logo's box.
 *
 * Properties that hold for every function below:
 *  - Threads: any thread may call any function at any time. The style is
 *    process-wide: a setter or preset called by one thread changes what
 *    every thread draws next. Setters, presets, qr_init, qr_cleanup and
 *    qr_get_version take one internal lock for as long as they change or
 *    read the style (the lock is not safe to take from a signal handler).
 *    An encode takes it only to copy the style when it begins, then draws
 *    without it, so encodes on several threads run side by side; each draws
 *    with the style as it was when the call began, whatever other threads
 *    set meanwhile. Decoders and graders use no style and take no lock. The
 *    texts the library hands out (the last error, the SVG document, the
 *    decode result, the grade report, payload texts and batch file names)
 *    belong to the calling thread: another thread's calls never rewrite or
 *    free them, and each thread starts with "no error". Read qr_last_error
 *    on the thread that made the failing call.
 *  - Lazy defaults: until qr_init is called, every style setter, preset,
 *    qr_set_logo and qr_get_version first restores the default style, so
 *    settings do not accumulate. Call qr_init once before styling.
 *  - Arguments are clamped into range rather than rejected: style numbers to
 *    their ranges, colour channels to 0..255, module size to at least 1,
 *    quiet zone to at least 0, an error-correction level outside 0..3 to M.
 *  - Error-correction levels: 0 = L, 1 = M, 2 = Q, 3 = H. A set logo raises
 *    any level below H to H for every raster and SVG encode.
 *  - Encoders return 1 on success and -1 on failure (or a pointer / NULL);
 *    every failure leaves one fixed English message, "<operation>: <what>",
 *    in qr_last_error(). Messages carry no variable part, so hosts may
 *    compare them. Successful calls never clear the message.
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
 *
 * Caps at a glance (each is repeated at the functions it limits):
 *    PNG canvas side    16,384 pixels
 *    SVG document       33,554,431 bytes (32 MiB less the terminator)
 *    images read        2^26 pixels and 512 MiB of loader memory (logos and
 *                       decoder input); decoder input at least 21 x 21
 *    logo path          1,023 bytes (a longer path is cut)
 *    batch              1..10,000 items, file names 255 bytes (longer ones
 *                       are cut), output paths 1,023 bytes
 *    payload texts      1,022 to 2,046 bytes (see each payload encoder)
 *    decoded text       8,896 bytes
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

/* Restores the default style (black block dots, box corner squares and box
 * corner dots on opaque white, no gradients, no logo), marks the library
 * initialised and empties the calling thread's last-error text.
 * Returns: always 1. Never fails. */
QR_API int qr_init(void) QR_NOTHROW;

/* Restores the default style and clears the initialised mark, so the lazy
 * defaults apply again. Releases nothing; keeps every thread's last error,
 * SVG document and decode result. Never fails. */
QR_API void qr_cleanup(void) QR_NOTHROW;

/* The calling thread's last failure message: "no error" before the thread's
 * first failure, "" after qr_init on that thread.
 * Returns: never NULL. The calling thread's library-owned buffer, valid
 * until the thread ends; its text changes with the thread's next failure or
 * qr_init. Never fails. */
QR_API const char *qr_last_error(void) QR_NOTHROW;

/* The QR version (1..40) that `text` needs at level `ecc` (0..3, else M).
 * Ignores a set logo (it does not raise the level here). Lazy defaults.
 * Returns: 1..40, or 0 when `text` is NULL or does not fit in version 40.
 * Writes no message. */
QR_API int qr_get_version(const char *text, int ecc) QR_NOTHROW;

/* ---- Style setters ------------------------------------------------------ */

/* Every setter in this section applies the lazy defaults (except
 * qr_reset_style), clamps its arguments, never fails and never touches the
 * last-error text. Colour channels are clamped to 0..255.
 *
 * Gradient setters take `type` 1 for radial and any other value for
 * linear, `rotation` in degrees (0 runs left to right, 90 top to bottom;
 * stored as given, ignored by radial gradients), then the start and end
 * colours. A gradient setter switches that part's gradient on; the matching
 * colour setter switches it off again (the gradient's values are kept). */

/* Dot (module) figure: 0 block, 1 pill, 2 disc, 3 leaf, 4 petal, 5 fan;
 * clamped to 0..5. */
QR_API void qr_set_dot_style(int style) QR_NOTHROW;
/* Solid dot colour; switches the dot gradient off. */
QR_API void qr_set_dot_color(int r, int g, int b) QR_NOTHROW;
/* Dot gradient, spanning the symbol (the quiet zone excluded). */
QR_API void qr_set_dot_gradient(int type, float rotation, int start_r, int start_g, int start_b,
                                int end_r, int end_g, int end_b) QR_NOTHROW;
/* Corner square (finder ring) figure: 0 box, 1 circle, 2 cushion, 3 pebble,
 * 4 tile, 5 tube; clamped to 0..5. */
QR_API void qr_set_corner_square_style(int style) QR_NOTHROW;
/* Solid corner square colour; switches its gradient off. */
QR_API void qr_set_corner_square_color(int r, int g, int b) QR_NOTHROW;
/* Corner square gradient, spanning each 7 x 7 ring. */
QR_API void qr_set_corner_square_gradient(int type, float rotation, int start_r, int start_g,
                                          int start_b, int end_r, int end_g, int end_b) QR_NOTHROW;
/* Corner dot (finder centre) figure: 0 box, 1 disc, 2 cushion; clamped to
 * 0..2. */
QR_API void qr_set_corner_dot_style(int style) QR_NOTHROW;
/* Solid corner dot colour; switches its gradient off. */
QR_API void qr_set_corner_dot_color(int r, int g, int b) QR_NOTHROW;
/* Corner dot gradient, spanning each 3 x 3 centre. */
QR_API void qr_set_corner_dot_gradient(int type, float rotation, int start_r, int start_g,
                                       int start_b, int end_r, int end_g, int end_b) QR_NOTHROW;
/* Solid background with alpha `a` (0 transparent .. 255 opaque), each
 * channel clamped to 0..255; switches the background gradient off. */
QR_API void qr_set_background_color(int r, int g, int b, int a) QR_NOTHROW;
/* Background gradient over the whole canvas; also makes the background
 * opaque (alpha 255). */
QR_API void qr_set_background_gradient(int type, float rotation, int start_r, int start_g,
                                       int start_b, int end_r, int end_g, int end_b) QR_NOTHROW;
/* Restores the default style (logo removed); keeps the initialised mark and
 * the last-error text. */
QR_API void qr_reset_style(void) QR_NOTHROW;

/* ---- Logo and presets --------------------------------------------------- */

/* Centre logo: an image file (any format the reader accepts) drawn in a box
 * of `size` x the symbol width, cleared to the background, less `margin`
 * pixels of clear border on each side. Lazy defaults.
 * Ranges: `size` above 0, clamped to at most 0.5; `margin` clamped to >= 0.
 * A NULL path, a size <= 0 or a size that is not a number removes the logo.
 * Caps: the path is stored up to 1,023 bytes (a longer one is cut); the
 * image is subject to the image caps above.
 * The file is read at every encode, not here, so this call never fails; a
 * set logo raises the level to H. The image is shrunk to fit the box but
 * never below 5% of its own size: a logo more than 20 times wider or taller
 * than the box (less margins) is drawn larger than the box and can cover
 * the code. Make the image about the size it is drawn at (`size` x the
 * symbol width in pixels). An unreadable or refused logo fails the encode:
 * see qr_encode_to_file and qr_encode_to_svg_string. */
QR_API void qr_set_logo(const char *path, float size, int margin) QR_NOTHROW;

/* Writes a complete look: one of "modern", "dots", "elegant", "neon",
 * "corporate", "minimal" (exact, case-sensitive); removes any logo. Lazy
 * defaults. A failing call changes nothing more than the lazy defaults.
 * Returns: 1, or -1.
 * Fails with:
 *   "qr_apply_preset: NULL preset_name"
 *   "qr_apply_preset: unknown preset (modern/dots/elegant/neon/corporate/minimal)"
 */
QR_API int qr_apply_preset(const char *preset_name) QR_NOTHROW;

/* ---- Raster encoding (PNG) ---------------------------------------------- */

/* Writes `text` as an 8-bit RGBA PNG file in the current style. The file
 * is written only after the image exists, and replaced in one step, so a
 * failing call never creates, truncates or damages it.
 * Ranges: `ecc` 0..3 (else M; a set logo makes it H); `module_size` pixels
 * per module, < 1 means 1; `quiet_zone` modules of border, < 0 means 0.
 * Caps: the canvas side, (symbol modules + 2 x quiet_zone) x module_size,
 * is at most 16,384 pixels; the logo image is subject to the image caps.
 * Returns: 1, or -1.
 * Fails with, checked in this order:
 *   "qr_encode_to_file: NULL output path"
 *   "qr_encode: NULL argument"                (text is NULL)
 *   "qr_encode: empty text"
 *   "qr_encode: text too long to fit in any QR version (max 40)"
 *   "qr_encode: canvas allocation failed"     (side above the cap, or no memory)
 *   "qr_png_read_file: stbi_load failed (not a valid PNG?)"   (the logo, any
 *                                              format, unreadable or refused)
 *   "qr_png_write_mem: stbi_write_png_to_mem failed"          (no memory)
 *   "qr_encode_to_file: cannot open output path for writing"
 *   "qr_encode_to_file: short write"          (disk full, quota, file-size limit)
 */
QR_API int qr_encode_to_file(const char *text, const char *path, int ecc, int module_size,
                             int quiet_zone) QR_NOTHROW;

/* The same PNG as qr_encode_to_file, as bytes in memory; their count goes
 * to *out_len when `out_len` is not NULL (untouched on failure).
 * Ranges and caps: as qr_encode_to_file.
 * Returns: a buffer owned by the caller, released with qr_free_buffer; NULL
 * on failure.
 * Fails with the messages of qr_encode_to_file that name qr_encode,
 * qr_png_read_file and qr_png_write_mem (none that names qr_encode_to_file). */
QR_API unsigned char *qr_encode_to_memory(const char *text, int ecc, int module_size,
                                          int quiet_zone, int *out_len) QR_NOTHROW;

/* Releases a buffer from qr_encode_to_memory; NULL does nothing. Any other
 * pointer is undefined behaviour. Never fails. */
QR_API void qr_free_buffer(void *buf) QR_NOTHROW;

/* ---- SVG encoding ------------------------------------------------------- */

/* The SVG 1.1 document of `text` in the current style: one user unit per
 * pixel, the same figures, paints and logo (embedded as PNG) as the PNG.
 * Ranges: as qr_encode_to_file. There is no canvas cap, only the size of
 * the text: coordinates up to 2,147,483,647 and a document of at most
 * 33,554,431 bytes (32 MiB).
 * Returns: the document, owned by the library and valid until the calling
 * thread's next qr_encode_to_svg_string or qr_encode_to_svg_file call
 * (which releases it first, whatever its outcome) or until the thread ends;
 * NULL on failure.
 * Fails with:
 *   "qr_svg: empty text"                       (NULL or "")
 *   "qr_encode: text too long to fit in any QR version (max 40)"
 *   "qr_svg: buffer alloc failed"              (no memory)
 *   "qr_svg: failed while building SVG document"   (above a cap, no memory,
 *                                               or an unreadable logo)
 */
QR_API const char *qr_encode_to_svg_string(const char *text, int ecc, int module_size,
                                           int quiet_zone) QR_NOTHROW;

/* Writes the document of qr_encode_to_svg_string to `path`, once it is
 * complete, replacing the file in one step. Like qr_encode_to_svg_string it
 * first releases the thread's earlier document (a pointer from an earlier
 * qr_encode_to_svg_string is then invalid), unless `path` is NULL.
 * Ranges and caps: as qr_encode_to_svg_string.
 * Returns: 1, or -1.
 * Fails with "qr_encode_to_svg_file: NULL output path" (checked first),
 * the messages of qr_encode_to_svg_string, and:
 *   "qr_encode_to_svg_file: cannot open output path for writing"
 *   "qr_encode_to_svg_file: short write"
 */
QR_API int qr_encode_to_svg_file(const char *text, const char *path, int ecc, int module_size,
                                 int quiet_zone) QR_NOTHROW;

/* ---- Payload encoders --------------------------------------------------- */

/* Each builds a customary payload text and writes it as a PNG file in the
 * current style at level Q (H with a logo) with a quiet zone of 2 modules;
 * `module_size` as in qr_encode_to_file (< 1 means 1). NULL and empty
 * optional texts both leave their field out. Each returns 1, or -1 and
 * fails with its own "NULL output path" message (checked first), its
 * builder's messages, and the messages of qr_encode_to_file after its
 * first three (including "qr_encode_to_file: cannot open output path for
 * writing" and "qr_encode_to_file: short write" for the file). */

/* "WIFI:T:<security>;S:<ssid>;P:<password>;;" with \ ; , " : escaped by a
 * backslash; `security` defaults to WPA; `ssid` is required.
 * Caps: the payload text is at most 1,023 bytes.
 * Fails with:
 *   "qr_encode_wifi: NULL output path"
 *   "qr_build_wifi: bad args"                  (ssid is NULL)
 *   "qr_build_wifi: payload too long"
 */
QR_API int qr_encode_wifi(const char *ssid, const char *password, const char *security,
                          const char *path, int module_size) QR_NOTHROW;

/* vCard 3.0: N (split at the first space into given and family name, each
 * part cut to at most 250 bytes without splitting a UTF-8 character), FN,
 * and optional TEL;TYPE=CELL and EMAIL lines. In N and FN a backslash,
 * semicolon or comma gets a backslash and a line break becomes "\n"; the
 * phone number and address are written as given. `name` is required.
 * Caps: the payload text is at most 1,023 bytes.
 * Fails with:
 *   "qr_encode_vcard: NULL output path"
 *   "qr_build_vcard: bad args"                 (name is NULL)
 *   "qr_build_vcard: line break in phone or email"
 *   "qr_build_vcard: payload too long"
 */
QR_API int qr_encode_vcard(const char *name, const char *phone, const char *email, const char *path,
                           int module_size) QR_NOTHROW;

/* "mailto:<to>?subject=...&body=...", percent-encoded (a space is %20); `to`
 * is required and not empty.
 * Caps: the payload text is at most 2,046 bytes.
 * Fails with:
 *   "qr_encode_email: NULL output path"
 *   "qr_build_email: bad args (to required)"
 *   "qr_build_email: payload too long"
 */
QR_API int qr_encode_email(const char *to, const char *subject, const char *body, const char *path,
                           int module_size) QR_NOTHROW;

/* "smsto:<phone>:<message>"; only +, - and the digits of `phone` are kept;
 * `phone` is required and must hold at least one digit.
 * Caps: the payload text is at most 1,022 bytes.
 * Fails with:
 *   "qr_encode_sms: NULL output path"
 *   "qr_build_sms: bad args (phone required)"
 *   "qr_build_sms: payload too long"
 */
QR_API int qr_encode_sms(const char *phone, const char *message, const char *path,
                         int module_size) QR_NOTHROW;

/* "geo:<lat>,<lon>" with six decimals.
 * Ranges: `lat` -90..90, `lon` -180..180 (not clamped; NaN is outside).
 * Fails with:
 *   "qr_encode_geo: NULL output path"
 *   "qr_build_geo: lat/lon out of range"
 */
QR_API int qr_encode_geo(double lat, double lon, const char *path, int module_size) QR_NOTHROW;

/* One-event iCalendar object (UID, DTSTAMP, DTSTART, optional DTEND,
 * SUMMARY, optional LOCATION). `start` and `end` in ISO 8601 form: a date
 * (2024-05-01, written as a date) or a date and a time after "T", "t" or a
 * space: 2024-05-01T10:30 or 2024-05-01 10:30:00 (floating local time),
 * then optionally "Z" (UTC) or an offset (+02:00, +0200, +02, -05:30), which
 * is taken off to write the time in UTC with "Z". Dashes and colons are
 * optional, seconds default to 00, a fraction of a second is skipped; every
 * field is range-checked (leap years included, second 60 allowed) and
 * nothing may follow. The end may not lie before the start (a date is
 * compared with the date of a date-time). In SUMMARY and LOCATION a
 * backslash, semicolon or comma gets a backslash and a line break becomes
 * "\n". `title` and `start` are required.
 * DTSTAMP and the clock reading in the UID come from the environment
 * variable SOURCE_DATE_EPOCH (seconds since 1970, decimal digits only, at
 * most 253402300799) when it is set and not empty, so that a build that
 * makes event codes is reproducible; otherwise from the clock.
 * Caps: the payload text is at most 2,046 bytes.
 * Fails with:
 *   "qr_encode_event: NULL output path"
 *   "qr_build_event: bad args (title + start required)"
 *   "qr_build_event: bad start timestamp (need ISO 8601)"
 *   "qr_build_event: bad end timestamp (need ISO 8601)"
 *   "qr_build_event: end before start"
 *   "qr_build_event: bad SOURCE_DATE_EPOCH (need seconds since 1970)"
 *   "qr_build_event: payload too long"
 */
QR_API int qr_encode_event(const char *title, const char *start, const char *end,
                           const char *location, const char *path, int module_size) QR_NOTHROW;

/* ---- Batch -------------------------------------------------------------- */

/* One PNG per item of a JSON array of {"text": ..., "filename": ...}
 * objects (strict JSON) into the existing folder `out_dir`, in array order,
 * as qr_encode_to_file would write them. The file name defaults to qr.png
 * (also for a "filename" that is not a string or is empty); / \ : and line
 * feeds become _, and ".png" is added to a name of at most 250 bytes
 * without a period. Stops at the first failing item; files written before
 * it stay. Ranges: `ecc`, `module_size`, `quiet_zone` as qr_encode_to_file.
 * Caps: 1..10,000 items; file names cut to 255 bytes; `out_dir` + "/" +
 * name at most 1,023 bytes (never cut: a longer path fails the item).
 * Returns: the number of items written (all of them), or -1.
 * Fails with (an item's encode or write failure is reported as the last):
 *   "qr_encode_batch: NULL argument"
 *   "qr_encode_batch: empty output directory"
 *   "qr_encode_batch: invalid JSON input"
 *   "qr_encode_batch: JSON input must be an array of {text,filename}"
 *   "qr_encode_batch: empty array"
 *   "qr_encode_batch: array too large (max 10000)"
 *   "qr_encode_batch: array element is not an object"
 *   "qr_encode_batch: item missing string \"text\""
 *   "qr_encode_batch: item with empty text"
 *   "qr_encode_batch: item text contains a NUL byte"   (an escaped \u0000)
 *   "qr_encode_batch: output path too long (max 1023 bytes)"
 *   "qr_encode_batch: encode failed for an item (see message before this)"
 */
QR_API int qr_encode_batch(const char *json, const char *out_dir, int ecc, int module_size,
                           int quiet_zone) QR_NOTHROW;

/* ---- Decoding ----------------------------------------------------------- */

/* The text of the first QR code found in an image file (PNG, JPEG, BMP,
 * GIF, TGA, PSD, HDR, PIC, PNM), dark on light or light on dark.
 * Caps: the image caps above (2^26 pixels, 512 MiB of loader memory, at
 * least 21 x 21 pixels); the text is at most 8,896 bytes (a payload holding
 * a NUL byte reads as cut there).
 * Returns: never NULL. The text, or "" on failure, in the calling thread's
 * library-owned buffer, emptied or rewritten by that thread's next decode
 * call and valid until the thread ends. Copy the text to keep it.
 * Fails with:
 *   "qr_decode_from_file: NULL path"
 *   "qr_png_read_file: stbi_load failed (not a valid PNG?)"   (unreadable,
 *                                              any format, or above a cap)
 *   "qr_decode: invalid image (need RGBA, >= 21x21)"           (too small)
 *   "qr_decode: quirc_new failed"              (no memory)
 *   "qr_decode: image too large for quirc"     (no memory)
 *   "qr_decode: no QR code found in image"
 */
QR_API const char *qr_decode_from_file(const char *path) QR_NOTHROW;

/* As qr_decode_from_file, from the `len` bytes of an encoded image in
 * memory; same caps, result and lifetime.
 * Fails with:
 *   "qr_decode_from_memory: data too small"    (NULL, or fewer than 8 bytes)
 *   "qr_decode_from_memory: stbi_load_from failed (not a valid image?)"
 *                                              (unreadable, or above a cap)
 *   and the four "qr_decode" messages of qr_decode_from_file.
 */
QR_API const char *qr_decode_from_memory(const unsigned char *data, int len) QR_NOTHROW;

/* ---- Print-quality grade ------------------------------------------------ */

/* Grades the QR code in an image file (any format qr_decode_from_file
 * reads) the way a print verifier would, for people who print codes for
 * phones: a plain decode (the four fixed attempts, without the second-chance
 * stage) gives the symbol's grid, and on it are measured, in the linear-light
 * luminance of the image composited over white through an aperture 0.8
 * modules across: decode, symbol contrast, modulation (per codeword against
 * the block's spare error correction), fixed patterns, axial and grid
 * non-uniformity, unused error correction and the quiet zone. Each gets a
 * grade A (4) .. F (0); the overall grade is the lowest. A light-on-dark code
 * is graded with its polarity reversed. When `expected_text` is not NULL, a
 * code that reads as another text fails the decode.
 * Returns: the report, a JSON object
 *   {"grade":"A".."F", "score":4.0..0.0, "weakest":NAME, "hint":TEXT,
 *    "decoded":BOOL, "message":TEXT, "text":TEXT, (when decoded:) "version",
 *    "level", "mask", "light_on_dark", "module_px", "parameters":[{"name",
 *    "value", "grade", "score", "hint"}, ...]}
 * with the top-level keys in this order before "parameters" (only
 * "decode" there when the decode fails); an image with no code, or too small
 * to hold one, gives a report with grade F and the decoder's message. The
 * text is owned by the library and valid until the calling thread's next
 * grade call (which releases it first) or until the thread ends. Grading
 * also rewrites the thread's decode result (see qr_decode_from_file).
 * NULL on failure.
 * Caps: as qr_decode_from_file; the work beyond the decode is bounded by
 * the symbol's size.
 * Fails with:
 *   "qr_grade_from_file: NULL path"
 *   "qr_png_read_file: stbi_load failed (not a valid PNG?)"   (unreadable,
 *                                              any format, or above a cap)
 *   "qr_decode: quirc_new failed"              (no memory)
 *   "qr_decode: image too large for quirc"     (no memory)
 *   "qr_grade: out of memory"
 */
QR_API const char *qr_grade_from_file(const char *path, const char *expected_text) QR_NOTHROW;

/* As qr_grade_from_file, from the `len` bytes of an encoded image in memory;
 * same caps, result and lifetime.
 * Fails with:
 *   "qr_grade_from_memory: data too small"     (NULL, or fewer than 8 bytes)
 *   "qr_grade_from_memory: stbi_load_from failed (not a valid image?)"
 *   and the last three messages of qr_grade_from_file.
 */
QR_API const char *qr_grade_from_memory(const unsigned char *data, int len,
                                        const char *expected_text) QR_NOTHROW;

/* ---- Payload texts and batch file names ------------------------------
 *
 * The texts the payload encoders and qr_encode_batch would use, without
 * drawing anything: for hosts that show a payload, check it, or plan the
 * files of a batch. Same arguments, rules and messages as the encoders
 * (qr_text_wifi as qr_encode_wifi, and so on), without the path.
 * Returns: the text, owned by the library and valid until the calling
 * thread's next call of one of these functions or until the thread ends;
 * NULL on failure (the builder's message, e.g.
 * "qr_build_event: end before start", in qr_last_error).
 */
QR_API const char *qr_text_wifi(const char *ssid, const char *password,
                                const char *security) QR_NOTHROW;
QR_API const char *qr_text_vcard(const char *name, const char *phone, const char *email) QR_NOTHROW;
QR_API const char *qr_text_email(const char *to, const char *subject, const char *body) QR_NOTHROW;
QR_API const char *qr_text_sms(const char *phone, const char *message) QR_NOTHROW;
QR_API const char *qr_text_geo(double lat, double lon) QR_NOTHROW;
QR_API const char *qr_text_event(const char *title, const char *start, const char *end,
                                 const char *location) QR_NOTHROW;

/* The file name qr_encode_batch gives an item whose "filename" member is the
 * string `filename` (NULL: the item has none, or it is not a string):
 * "qr.png" for NULL or "", else the string cut to 255 bytes, with '/', '\\',
 * ':' and line feeds turned into '_', and ".png" added to a name of at most
 * 250 bytes without a period.
 * Returns: never NULL; the name, owned like the payload texts above.
 */
QR_API const char *qr_batch_file_name(const char *filename) QR_NOTHROW;

#ifdef __cplusplus
}
#endif

#endif /* VANTELOR_QRCODE_H */
