// The library frame: the process-wide style record, the per-thread last
// error, and the lock every exported call holds.
//
// Everything declared in the internal headers has external linkage inside
// the library but hidden visibility: only the functions of the public header
// leave the shared object. All state is constant-initialised, so nothing
// runs when the library is loaded. The style is process-wide and guarded by
// the one lock every exported call holds; the texts handed to the host (last
// error, SVG document, decode result) are per thread, so a pointer one
// thread holds is never rewritten or freed by another thread's call.
#pragma once

#include <cstddef>

struct qr_gradient {
    int type;        // 0 none (solid colour applies), 1 linear, 2 radial
    float rotation;  // degrees, stored unchanged; radial gradients ignore it
    int start_r, start_g, start_b;
    int end_r, end_g, end_b;
};

enum : int { QR_GRADIENT_NONE = 0, QR_GRADIENT_LINEAR = 1, QR_GRADIENT_RADIAL = 2 };

inline constexpr std::size_t QR_LOGO_PATH_CAP = 1024;

struct qr_style {
    int dot_style;
    qr_gradient dot_gradient;
    int dot_color[3];
    int corner_square_style;
    qr_gradient corner_square_gradient;
    int corner_square_color[3];
    int corner_dot_style;
    qr_gradient corner_dot_gradient;
    int corner_dot_color[3];
    qr_gradient background_gradient;
    int background_color[4];
    char logo_path[QR_LOGO_PATH_CAP];
    float logo_size;
    int logo_margin;
};

extern qr_style g_style;
extern int g_initialized;

inline constexpr std::size_t QR_ERROR_CAP = 512;
extern constinit thread_local char g_last_error[QR_ERROR_CAP];

// Held for the whole body of every exported function, so calls from several
// threads run one after another; internal functions never take it (it is
// not recursive, and no exported function calls another).
class qr_api_lock {
public:
    qr_api_lock() noexcept;
    ~qr_api_lock();
    qr_api_lock(const qr_api_lock &) = delete;
    qr_api_lock &operator=(const qr_api_lock &) = delete;
};

// Writes one fixed message into the last-error slot (NULL: "unknown error").
void qr_set_error(const char *msg);
// Restores the default style fields (and only those).
void qr_restore_style_defaults();
