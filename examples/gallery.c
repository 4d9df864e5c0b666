/* vqr_gallery: every look of the library on one page.
 *
 *   vqr_gallery [--reader PROGRAM] [--svg-renderer PROGRAM] OUT_DIR
 *
 * Writes OUT_DIR/index.html, one self-contained page (images inlined) that
 * shows the default look, the six presets, every module style, every finder
 * ring and centre style, gradients, a transparent background and a logo,
 * each as PNG and as SVG side by side. Every image is read back with the
 * library's own decoder (the SVG after rasterising it with the renderer,
 * rsvg-convert by default) and with an independent reader (zxing-cpp through
 * vqr_zxing_read); the page shows the decoded text, both verdicts and the
 * print-quality grade (with the weakest parameter when below C). The
 * PNG and SVG files stay in OUT_DIR next to the page.
 *
 * Exit status: 0 when every image was written and our decoder read every
 * one back; 1 otherwise (the page is still written); 2 on a usage error.
 */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vantelor_qrcode.h>

#ifndef VQR_DEFAULT_READER
#define VQR_DEFAULT_READER "vqr_zxing_read"
#endif

enum { MODULE_SIZE = 8, QUIET_ZONE = 3, LEVEL = 2 };

typedef struct {
    const char *slug;
    const char *title;
    const char *how; /* the calls that make the look, shown on the page */
    void (*setup)(void);
} look;

/* ---- The looks ------------------------------------------------------------ */

static char g_logo_path[4096];

static void look_default(void) {}
#define PRESET(name) \
    static void look_##name(void) { qr_apply_preset(#name); }
PRESET(modern)
PRESET(dots)
PRESET(elegant)
PRESET(neon)
PRESET(corporate)
PRESET(minimal)
#define MODULE(n, i) \
    static void look_module_##n(void) { qr_set_dot_style(i); }
MODULE(block, 0)
MODULE(pill, 1)
MODULE(disc, 2)
MODULE(leaf, 3)
MODULE(petal, 4)
MODULE(fan, 5)
#define RING(n, i) \
    static void look_ring_##n(void) { qr_set_corner_square_style(i); }
RING(box, 0)
RING(circle, 1)
RING(cushion, 2)
RING(pebble, 3)
RING(tile, 4)
RING(tube, 5)
#define CENTER(n, i) \
    static void look_center_##n(void) { qr_set_corner_dot_style(i); }
CENTER(box, 0)
CENTER(disc, 1)
CENTER(cushion, 2)

static void look_linear(void) {
    qr_set_dot_style(2);
    qr_set_dot_gradient(0, 45.0f, 11, 61, 145, 215, 38, 61);
    qr_set_corner_square_style(3);
    qr_set_corner_square_gradient(0, 45.0f, 11, 61, 145, 215, 38, 61);
    qr_set_corner_dot_color(11, 61, 145);
}
static void look_radial(void) {
    qr_set_dot_style(1);
    qr_set_dot_gradient(1, 0.0f, 20, 20, 60, 0, 120, 110);
    qr_set_corner_square_style(2);
    qr_set_corner_square_color(20, 20, 60);
    qr_set_corner_dot_style(2);
    qr_set_corner_dot_color(0, 120, 110);
    qr_set_background_gradient(0, 90.0f, 255, 255, 255, 225, 240, 250);
}
static void look_transparent(void) {
    qr_set_dot_style(4);
    qr_set_dot_color(40, 40, 40);
    qr_set_background_color(255, 255, 255, 0);
}
static void look_logo(void) {
    qr_apply_preset("modern");
    qr_set_logo(g_logo_path, 0.22f, 4);
}

static const look LOOKS[] = {
    {"default", "Default look", "qr_init()", look_default},
    {"preset-modern", "Preset \"modern\"", "qr_apply_preset(\"modern\")", look_modern},
    {"preset-dots", "Preset \"dots\"", "qr_apply_preset(\"dots\")", look_dots},
    {"preset-elegant", "Preset \"elegant\"", "qr_apply_preset(\"elegant\")", look_elegant},
    {"preset-neon", "Preset \"neon\"", "qr_apply_preset(\"neon\")", look_neon},
    {"preset-corporate", "Preset \"corporate\"", "qr_apply_preset(\"corporate\")", look_corporate},
    {"preset-minimal", "Preset \"minimal\"", "qr_apply_preset(\"minimal\")", look_minimal},
    {"module-block", "Module style 0: block", "qr_set_dot_style(0)", look_module_block},
    {"module-pill", "Module style 1: pill", "qr_set_dot_style(1)", look_module_pill},
    {"module-disc", "Module style 2: disc", "qr_set_dot_style(2)", look_module_disc},
    {"module-leaf", "Module style 3: leaf", "qr_set_dot_style(3)", look_module_leaf},
    {"module-petal", "Module style 4: petal", "qr_set_dot_style(4)", look_module_petal},
    {"module-fan", "Module style 5: fan", "qr_set_dot_style(5)", look_module_fan},
    {"ring-box", "Ring style 0: box", "qr_set_corner_square_style(0)", look_ring_box},
    {"ring-circle", "Ring style 1: circle", "qr_set_corner_square_style(1)", look_ring_circle},
    {"ring-cushion", "Ring style 2: cushion", "qr_set_corner_square_style(2)", look_ring_cushion},
    {"ring-pebble", "Ring style 3: pebble", "qr_set_corner_square_style(3)", look_ring_pebble},
    {"ring-tile", "Ring style 4: tile", "qr_set_corner_square_style(4)", look_ring_tile},
    {"ring-tube", "Ring style 5: tube", "qr_set_corner_square_style(5)", look_ring_tube},
    {"center-box", "Centre style 0: box", "qr_set_corner_dot_style(0)", look_center_box},
    {"center-disc", "Centre style 1: disc", "qr_set_corner_dot_style(1)", look_center_disc},
    {"center-cushion", "Centre style 2: cushion", "qr_set_corner_dot_style(2)",
     look_center_cushion},
    {"gradient-linear", "Linear gradients",
     "qr_set_dot_style(2); qr_set_dot_gradient(0, 45, 11,61,145, 215,38,61); "
     "qr_set_corner_square_style(3); qr_set_corner_square_gradient(0, 45, ...); "
     "qr_set_corner_dot_color(11,61,145)",
     look_linear},
    {"gradient-radial", "Radial gradient, background gradient",
     "qr_set_dot_style(1); qr_set_dot_gradient(1, 0, 20,20,60, 0,120,110); "
     "qr_set_corner_square_style(2); qr_set_corner_dot_style(2); ...; "
     "qr_set_background_gradient(0, 90, 255,255,255, 225,240,250)",
     look_radial},
    {"transparent", "Transparent background",
     "qr_set_dot_style(4); qr_set_dot_color(40,40,40); qr_set_background_color(255,255,255, 0)",
     look_transparent},
    {"logo", "Logo", "qr_apply_preset(\"modern\"); qr_set_logo(\"logo.ppm\", 0.22, 4)", look_logo},
};
#define LOOK_COUNT (sizeof LOOKS / sizeof LOOKS[0])

/* ---- Small helpers ---------------------------------------------------------- */

static char *join(const char *dir, const char *name, const char *ext) {
    size_t n = strlen(dir) + strlen(name) + strlen(ext) + 2;
    char *p = malloc(n);
    if (!p) abort();
    snprintf(p, n, "%s/%s%s", dir, name, ext);
    return p;
}

static unsigned char *read_file(const char *path, size_t *len) {
    FILE *f = fopen(path, "rb");
    if (!f) return NULL;
    size_t cap = 1 << 16, n = 0;
    unsigned char *buf = malloc(cap);
    while (buf) {
        if (n == cap) {
            unsigned char *grown = realloc(buf, cap * 2);
            if (!grown) {
                free(buf);
                buf = NULL;
                break;
            }
            buf = grown;
            cap *= 2;
        }
        size_t got = fread(buf + n, 1, cap - n, f);
        n += got;
        if (got == 0) break;
    }
    fclose(f);
    *len = n;
    return buf;
}

/* Runs argv[0] (searched on PATH) with stdout captured into `out` (at most
 * cap - 1 bytes, zero-terminated) and stderr discarded. Returns the exit
 * status, or -1 when the program could not be run. */
static int run_capture(char *const argv[], char *out, size_t cap) {
    int fds[2];
    if (pipe(fds) != 0) return -1;
    pid_t pid = fork();
    if (pid < 0) {
        close(fds[0]);
        close(fds[1]);
        return -1;
    }
    if (pid == 0) {
        dup2(fds[1], 1);
        int devnull = open("/dev/null", O_WRONLY);
        if (devnull >= 0) dup2(devnull, 2);
        close(fds[0]);
        close(fds[1]);
        execvp(argv[0], argv);
        _exit(127);
    }
    close(fds[1]);
    size_t n = 0;
    for (;;) {
        char chunk[4096];
        ssize_t got = read(fds[0], chunk, sizeof chunk);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        size_t take = (size_t)got;
        if (take > cap - 1 - n) take = cap - 1 - n;
        memcpy(out + n, chunk, take);
        n += take;
    }
    close(fds[0]);
    out[n] = 0;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0)
        if (errno != EINTR) return -1;
    if (!WIFEXITED(status) || WEXITSTATUS(status) == 127) return -1;
    return WEXITSTATUS(status);
}

static void html_text(FILE *f, const char *s) {
    for (; *s; s++) {
        switch (*s) {
        case '&': fputs("&amp;", f); break;
        case '<': fputs("&lt;", f); break;
        case '>': fputs("&gt;", f); break;
        case '"': fputs("&quot;", f); break;
        default: fputc(*s, f);
        }
    }
}

static void base64(FILE *f, const unsigned char *p, size_t n) {
    static const char B64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    for (size_t i = 0; i < n; i += 3) {
        unsigned v = (unsigned)p[i] << 16;
        if (i + 1 < n) v |= (unsigned)p[i + 1] << 8;
        if (i + 2 < n) v |= p[i + 2];
        fputc(B64[(v >> 18) & 63], f);
        fputc(B64[(v >> 12) & 63], f);
        fputc(i + 1 < n ? B64[(v >> 6) & 63] : '=', f);
        fputc(i + 2 < n ? B64[v & 63] : '=', f);
    }
}

/* A 96 x 96 logo: a navy disc with a white ring and a coral centre, as a
 * binary PPM (the library reads any format its image loader knows). */
static int write_logo(const char *path) {
    FILE *f = fopen(path, "wb");
    if (!f) return -1;
    fprintf(f, "P6\n96 96\n255\n");
    for (int y = 0; y < 96; y++)
        for (int x = 0; x < 96; x++) {
            int dx = 2 * x - 95, dy = 2 * y - 95, d2 = dx * dx + dy * dy;
            unsigned char px[3] = {255, 255, 255};
            if (d2 < 92 * 92) px[0] = 26, px[1] = 54, px[2] = 93;
            if (d2 < 60 * 60) px[0] = px[1] = px[2] = 255;
            if (d2 < 44 * 44) px[0] = 240, px[1] = 96, px[2] = 80;
            fwrite(px, 1, 3, f);
        }
    return fclose(f) == 0 ? 0 : -1;
}

/* ---- One look ------------------------------------------------------------- */

typedef struct {
    int png_ok, svg_ok; /* written */
    char png_error[512], svg_error[512];
    char ours_png[1024], ours_svg[1024];
    int ours_png_ok, ours_svg_ok; /* read back with the expected text */
    int zx_png, zx_svg;           /* 1 read, 0 not read, -1 not run */
    int svg_rendered;
    char grade_png[4], grade_svg[4];       /* print-quality grade, A..F */
    char weakest_png[64], weakest_svg[64]; /* the parameter that set it */
} verdict;

static int independent(const char *reader, const char *path, const char *expect) {
    if (!reader) return -1;
    static char out[8192];
    char *argv[] = {(char *)reader, (char *)path, NULL};
    int rc = run_capture(argv, out, sizeof out);
    if (rc < 0) return -1;
    return rc == 0 && strcmp(out, expect) == 0;
}

static void ours(const char *path, const char *expect, char *text, size_t cap, int *ok) {
    const char *got = qr_decode_from_file(path);
    snprintf(text, cap, "%s", got && *got ? got : "");
    if (!*text) snprintf(text, cap, "(nothing read: %s)", qr_last_error());
    *ok = got && strcmp(got, expect) == 0;
}

/* The string value of `key` in the grader's flat JSON report (its top-level
 * names and letters hold no escapes). */
static void report_field(const char *report, const char *key, char *out, size_t cap) {
    char pattern[64];
    snprintf(pattern, sizeof pattern, "\"%s\":\"", key);
    const char *p = report ? strstr(report, pattern) : NULL;
    size_t n = 0;
    if (p)
        for (p += strlen(pattern); p[n] && p[n] != '"' && n + 1 < cap; n++) out[n] = p[n];
    out[n] = 0;
}

static void graded(const char *path, const char *expect, char *grade, char *weakest) {
    const char *report = qr_grade_from_file(path, expect);
    report_field(report, "grade", grade, 4);
    report_field(report, "weakest", weakest, 64);
    if (!report) snprintf(grade, 4, "?");
}

static void make_look(const look *lk, const char *dir, const char *reader, const char *renderer,
                      const char *text, verdict *v) {
    char *png = join(dir, lk->slug, ".png"), *svg = join(dir, lk->slug, ".svg");
    char *svg_png = join(dir, lk->slug, ".svg.png");
    memset(v, 0, sizeof *v);
    qr_init();
    lk->setup();
    v->png_ok = qr_encode_to_file(text, png, LEVEL, MODULE_SIZE, QUIET_ZONE) == 1;
    if (!v->png_ok) snprintf(v->png_error, sizeof v->png_error, "%s", qr_last_error());
    v->svg_ok = qr_encode_to_svg_file(text, svg, LEVEL, MODULE_SIZE, QUIET_ZONE) == 1;
    if (!v->svg_ok) snprintf(v->svg_error, sizeof v->svg_error, "%s", qr_last_error());
    qr_cleanup();

    v->zx_png = v->zx_svg = -1;
    if (v->png_ok) {
        ours(png, text, v->ours_png, sizeof v->ours_png, &v->ours_png_ok);
        graded(png, text, v->grade_png, v->weakest_png);
        v->zx_png = independent(reader, png, text);
    }
    if (v->svg_ok && renderer) {
        char scratch[256];
        char *argv[] = {(char *)renderer, "-o", svg_png, svg, NULL};
        v->svg_rendered = run_capture(argv, scratch, sizeof scratch) == 0;
        if (v->svg_rendered) {
            ours(svg_png, text, v->ours_svg, sizeof v->ours_svg, &v->ours_svg_ok);
            graded(svg_png, text, v->grade_svg, v->weakest_svg);
            v->zx_svg = independent(reader, svg_png, text);
        }
    }
    free(png);
    free(svg);
    free(svg_png);
}

/* ---- The page ------------------------------------------------------------- */

static const char PAGE_HEAD[] =
    "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">\n"
    "<title>vantelor-qrcode gallery</title>\n<style>\n"
    "body{font:14px/1.4 system-ui,sans-serif;margin:16px;background:#eef0f3;color:#1b1f24}\n"
    "h1{font-size:20px;margin:0 0 4px}\n"
    ".summary{margin:0 0 16px}\n"
    ".grid{display:flex;flex-wrap:wrap;gap:12px;align-items:flex-start}\n"
    ".card{flex:0 0 "
    "auto;width:min-content;background:#fff;border-radius:8px;padding:10px;box-shadow:0 1px 2px "
    "#0002}\n"
    ".card h2{font-size:15px;margin:0 0 2px}\n"
    ".how{font:11px/1.3 ui-monospace,monospace;color:#555;margin:0 0 8px;word-break:break-all}\n"
    ".pair{display:flex;gap:10px}\n"
    ".pair figure{margin:0;text-align:center}\n"
    ".pair img{display:block;image-rendering:auto;"
    "background:repeating-conic-gradient(#ddd 0 25%,#fff 0 50%) 0 0/16px 16px}\n"
    "figcaption{font-size:11px;color:#555}\n"
    ".ok{color:#0a7d32}.bad{color:#b3261e}.na{color:#777}\n"
    ".read{font-size:12px;margin:6px 0 0}\n"
    "</style></head>\n<body data-images=\"pending\">\n";

/* After load, the page notes how many images decoded and where every image
 * sits, so a headless browser can check and crop a screenshot. */
static const char PAGE_SCRIPT[] =
    "<script>\n"
    "window.addEventListener('load', function () {\n"
    "  var imgs = document.querySelectorAll('img'), ok = 0;\n"
    "  imgs.forEach(function (im) {\n"
    "    if (im.complete && im.naturalWidth > 0) ok++;\n"
    "    var r = im.getBoundingClientRect();\n"
    "    im.setAttribute('data-rect', [Math.round(r.left + window.scrollX),\n"
    "      Math.round(r.top + window.scrollY), Math.round(r.width), "
    "Math.round(r.height)].join(','));\n"
    "  });\n"
    "  document.body.setAttribute('data-images', ok + '/' + imgs.length);\n"
    "  document.body.setAttribute('data-page-height',\n"
    "    String(document.documentElement.scrollHeight));\n"
    "});\n"
    "</script>\n";

/* A grade of C or better is what a print is expected to reach. */
static int passing(const char *grade) { return grade[0] >= 'A' && grade[0] <= 'C'; }

static void verdict_html(FILE *f, const char *label, int ok, const char *text, int zx,
                         const char *grade, const char *weakest) {
    fprintf(f, "<div class=\"read\">%s: ours <span class=\"%s\">%s</span>", label,
            ok ? "ok" : "bad", ok ? "&#10003;" : "&#10007;");
    fputs(", zxing-cpp ", f);
    if (zx < 0)
        fputs("<span class=\"na\">not run</span>", f);
    else
        fprintf(f, "<span class=\"%s\">%s</span>", zx ? "ok" : "bad", zx ? "&#10003;" : "&#10007;");
    fprintf(f, ", grade <span class=\"grade %s\">%s</span>", passing(grade) ? "ok" : "bad", grade);
    if (!passing(grade)) {
        fputs(" (", f);
        html_text(f, weakest);
        fputs(")", f);
    }
    fputs("<br><code>", f);
    html_text(f, text);
    fputs("</code></div>\n", f);
}

static void image_html(FILE *f, const char *dir, const char *slug, const char *ext,
                       const char *mime, const char *kind, const char *text) {
    char *path = join(dir, slug, ext);
    size_t len = 0;
    unsigned char *data = read_file(path, &len);
    fputs("<figure>", f);
    if (data) {
        fprintf(f, "<img class=\"%s\" data-slug=\"%s\" data-text=\"", kind, slug);
        html_text(f, text);
        fprintf(f, "\" alt=\"%s %s\" src=\"data:%s;base64,", slug, kind, mime);
        base64(f, data, len);
        fputs("\">", f);
    }
    fprintf(f, "<figcaption>%s (%s%s)</figcaption></figure>", kind, slug, ext);
    free(data);
    free(path);
}

int main(int argc, char **argv) {
    const char *reader = VQR_DEFAULT_READER, *renderer = "rsvg-convert", *dir = NULL;
    for (int i = 1; i < argc; i++) {
        if (strcmp(argv[i], "--reader") == 0 && i + 1 < argc)
            reader = *argv[++i] ? argv[i] : NULL;
        else if (strcmp(argv[i], "--svg-renderer") == 0 && i + 1 < argc)
            renderer = *argv[++i] ? argv[i] : NULL;
        else if (argv[i][0] == '-') {
            fprintf(stderr, "usage: %s [--reader PROGRAM] [--svg-renderer PROGRAM] OUT_DIR\n",
                    argv[0]);
            return 2;
        } else
            dir = argv[i];
    }
    if (!dir) {
        fprintf(stderr, "usage: %s [--reader PROGRAM] [--svg-renderer PROGRAM] OUT_DIR\n", argv[0]);
        return 2;
    }
    mkdir(dir, 0777);
    char *logo = join(dir, "logo", ".ppm");
    snprintf(g_logo_path, sizeof g_logo_path, "%s", logo);
    free(logo);
    if (write_logo(g_logo_path) != 0) {
        fprintf(stderr, "vqr_gallery: cannot write into %s\n", dir);
        return 1;
    }

    verdict v[LOOK_COUNT];
    char texts[LOOK_COUNT][128];
    int written = 0, ours_read = 0, ours_total = 0, zx_read = 0, zx_total = 0, graded_c = 0;
    for (size_t i = 0; i < LOOK_COUNT; i++) {
        snprintf(texts[i], sizeof texts[i], "https://example.org/vqr/%s", LOOKS[i].slug);
        make_look(&LOOKS[i], dir, reader, renderer, texts[i], &v[i]);
        written += v[i].png_ok + v[i].svg_ok;
        ours_total += v[i].png_ok + v[i].svg_rendered;
        ours_read += v[i].ours_png_ok + v[i].ours_svg_ok;
        zx_total += (v[i].zx_png >= 0) + (v[i].zx_svg >= 0);
        zx_read += (v[i].zx_png > 0) + (v[i].zx_svg > 0);
        graded_c += (v[i].png_ok && passing(v[i].grade_png)) +
                    (v[i].svg_rendered && passing(v[i].grade_svg));
    }

    char *page = join(dir, "index", ".html");
    FILE *f = fopen(page, "w");
    if (!f) {
        fprintf(stderr, "vqr_gallery: cannot write %s\n", page);
        free(page);
        return 1;
    }
    fputs(PAGE_HEAD, f);
    fputs("<h1>vantelor-qrcode gallery</h1>\n", f);
    fprintf(
        f,
        "<p class=\"summary\">%zu looks, %d of %zu images written; our decoder read back %d of %d, "
        "zxing-cpp %d of %d; %d of %d grade C or better for print (vqr check). Every code: level "
        "Q, module size %d, quiet zone %d. SVGs are read back after rasterising with %s.</p>\n"
        "<div class=\"grid\">\n",
        LOOK_COUNT, written, 2 * LOOK_COUNT, ours_read, ours_total, zx_read, zx_total, graded_c,
        ours_total, MODULE_SIZE, QUIET_ZONE, renderer ? renderer : "(no renderer)");
    for (size_t i = 0; i < LOOK_COUNT; i++) {
        fprintf(f, "<div class=\"card\" id=\"%s\"><h2>", LOOKS[i].slug);
        html_text(f, LOOKS[i].title);
        fputs("</h2><p class=\"how\">", f);
        html_text(f, LOOKS[i].how);
        fputs("</p><div class=\"pair\">", f);
        image_html(f, dir, LOOKS[i].slug, ".png", "image/png", "png", texts[i]);
        image_html(f, dir, LOOKS[i].slug, ".svg", "image/svg+xml", "svg", texts[i]);
        fputs("</div>\n", f);
        if (v[i].png_ok)
            verdict_html(f, "PNG", v[i].ours_png_ok, v[i].ours_png, v[i].zx_png, v[i].grade_png,
                         v[i].weakest_png);
        else {
            fputs("<div class=\"read bad\">PNG not written: ", f);
            html_text(f, v[i].png_error);
            fputs("</div>\n", f);
        }
        if (v[i].svg_ok && v[i].svg_rendered)
            verdict_html(f, "SVG", v[i].ours_svg_ok, v[i].ours_svg, v[i].zx_svg, v[i].grade_svg,
                         v[i].weakest_svg);
        else if (v[i].svg_ok)
            fputs("<div class=\"read na\">SVG not read back (no renderer)</div>\n", f);
        else {
            fputs("<div class=\"read bad\">SVG not written: ", f);
            html_text(f, v[i].svg_error);
            fputs("</div>\n", f);
        }
        fputs("</div>\n", f);
    }
    fputs("</div>\n", f);
    fputs(PAGE_SCRIPT, f);
    fputs("</body></html>\n", f);
    int closed = fclose(f) == 0;

    printf("gallery: %s\n", page);
    printf(
        "gallery: %zu looks, %d of %zu images written; our decoder read %d of %d, zxing-cpp %d of "
        "%d; %d of %d grade C or better\n",
        LOOK_COUNT, written, 2 * LOOK_COUNT, ours_read, ours_total, zx_read, zx_total, graded_c,
        ours_total);
    for (size_t i = 0; i < LOOK_COUNT; i++) {
        if (!v[i].png_ok)
            printf("  %s.png: not written: %s\n", LOOKS[i].slug, v[i].png_error);
        else if (!v[i].ours_png_ok)
            printf("  %s.png: our decoder: %s\n", LOOKS[i].slug, v[i].ours_png);
        if (!v[i].svg_ok)
            printf("  %s.svg: not written: %s\n", LOOKS[i].slug, v[i].svg_error);
        else if (v[i].svg_rendered && !v[i].ours_svg_ok)
            printf("  %s.svg: our decoder: %s\n", LOOKS[i].slug, v[i].ours_svg);
    }
    free(page);
    int all = closed && written == (int)(2 * LOOK_COUNT) && ours_read == ours_total;
    return all ? 0 : 1;
}
