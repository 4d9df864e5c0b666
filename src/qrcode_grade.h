// Print-quality grade of a QR code in an image: the measured parameters, their
// grades (4 A, 3 B, 2 C, 1 D, 0 F) and the report as JSON.
#pragma once

#include <string>

#include "qrcode_decode_sampler.h"
#include "qrcode_types.h"

enum qr_grade_parameter : int {
    QR_GRADE_DECODE,
    QR_GRADE_CONTRAST,
    QR_GRADE_MODULATION,
    QR_GRADE_FIXED_PATTERNS,
    QR_GRADE_AXIAL,
    QR_GRADE_GRID,
    QR_GRADE_UNUSED_EC,
    QR_GRADE_QUIET_ZONE,
    QR_GRADE_PARAMETER_COUNT
};

struct qr_grade_report {
    bool decoded;
    const char *message;  // why the decode failed, else ""
    qr_decode_geometry geo;
    double module_px;  // pixels per module along the grid
    double value[QR_GRADE_PARAMETER_COUNT];
    int grade[QR_GRADE_PARAMETER_COUNT];
    int overall;
    int weakest;  // the first parameter with the overall grade
};

inline constexpr qr_error QR_GRADE_NO_MEMORY = "qr_grade: out of memory";

// Grades the RGBA image (any size the decoder takes); the decoded text goes
// to `text`. When `expected` is not null, a different text fails the decode.
// Fails only when the decoder cannot be set up.
qr_error qr_grade_rgba(const unsigned char *rgba, int width, int height, const char *expected,
                       qr_grade_report *out, qr_decoded &text);

// The report as a JSON object, with the text read.
std::string qr_grade_json(const qr_grade_report &r, const qr_decoded &text);

// The JSON report of the image in the file at `path`, or in `len` bytes of
// memory; the text read goes to `text`.
qr_error qr_grade_file(const char *path, const char *expected, qr_decoded &text,
                       qr_document &report);
qr_error qr_grade_memory(const unsigned char *data, int len, const char *expected, qr_decoded &text,
                         qr_document &report);
