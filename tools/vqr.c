/* vqr: styled QR codes from the shell.
 *
 * A thin command-line front end over the public C interface: every
 * subcommand maps onto one library call (plus the style setters), so what
 * the tool does is exactly what a host program gets. Results go to stdout
 * only when they are the point of the command (decoded texts, a version
 * number, a document written to "-"); errors go to stderr with the
 * library's own message.
 *
 * Exit status: 0 success, 1 the library reported a failure or found no
 * code, 2 the command line was wrong.
 */
#define _GNU_SOURCE
#include <errno.h>
#include <getopt.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <vantelor_qrcode.h>

#ifndef VQR_TOOL_VERSION
#define VQR_TOOL_VERSION "unknown"
#endif

enum { EXIT_USAGE = 2 };

/* Inputs larger than this are refused rather than read whole into memory. */
#define MAX_INPUT_BYTES (64L * 1024 * 1024)

static const char *g_cmd = "vqr";

static void usage_error(const char *fmt, const char *arg) {
    fprintf(stderr, "%s: ", g_cmd);
    fprintf(stderr, fmt, arg);
    fprintf(stderr, "\nTry '%s --help'.\n", g_cmd);
}

static int library_error(const char *what) {
    if (what)
        fprintf(stderr, "%s: %s: %s\n", g_cmd, what, qr_last_error());
    else
        fprintf(stderr, "%s: %s\n", g_cmd, qr_last_error());
    return EXIT_FAILURE;
}

/* ---- Reading inputs ------------------------------------------------------- */

/* Reads a whole stream; returns a malloc'ed, zero-terminated block. */
static unsigned char *read_stream(FILE *f, size_t *out_len) {
    size_t cap = 65536, len = 0;
    unsigned char *buf = malloc(cap + 1);
    if (!buf) return NULL;
    for (;;) {
        if (len == cap) {
            if (cap >= (size_t)MAX_INPUT_BYTES) {
                free(buf);
                errno = EFBIG;
                return NULL;
            }
            unsigned char *grown = realloc(buf, cap * 2 + 1);
            if (!grown) {
                free(buf);
                return NULL;
            }
            buf = grown;
            cap *= 2;
        }
        size_t got = fread(buf + len, 1, cap - len, f);
        len += got;
        if (got == 0) break;
    }
    if (ferror(f)) {
        free(buf);
        return NULL;
    }
    buf[len] = 0;
    *out_len = len;
    return buf;
}

static unsigned char *read_input(const char *path, size_t *out_len) {
    if (strcmp(path, "-") == 0) return read_stream(stdin, out_len);
    FILE *f = fopen(path, "rb");
    if (!f) return NULL;
    unsigned char *data = read_stream(f, out_len);
    fclose(f);
    return data;
}

/* A text given on stdin loses one trailing line end, so that
 * `echo hello | vqr encode` encodes "hello". */
static char *read_text_arg(const char *arg) {
    if (arg && strcmp(arg, "-") != 0) return strdup(arg);
    size_t len = 0;
    char *text = (char *)read_stream(stdin, &len);
    if (!text) return NULL;
    if (len > 0 && text[len - 1] == '\n') text[--len] = 0;
    if (len > 0 && text[len - 1] == '\r') text[--len] = 0;
    return text;
}

/* ---- Parsing option values ----------------------------------------------- */

static int parse_int(const char *s, long lo, long hi, int *out) {
    char *end = NULL;
    errno = 0;
    long v = strtol(s, &end, 10);
    if (errno || end == s || *end || v < lo || v > hi) return -1;
    *out = (int)v;
    return 0;
}

static int parse_double(const char *s, double *out) {
    char *end = NULL;
    errno = 0;
    double v = strtod(s, &end);
    if (errno || end == s || *end || !isfinite(v)) return -1;
    *out = v;
    return 0;
}

/* L, M, Q, H (any case) or 0..3. */
static int parse_level(const char *s, int *out) {
    static const char NAMES[] = "LMQH";
    if (s[0] && !s[1]) {
        char upper = (char)(s[0] & ~0x20);
        const char *p = upper ? strchr(NAMES, upper) : NULL;
        if (p) {
            *out = (int)(p - NAMES);
            return 0;
        }
        if (s[0] >= '0' && s[0] <= '3') {
            *out = s[0] - '0';
            return 0;
        }
    }
    return -1;
}

static int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

/* "#rrggbb", or "#rrggbbaa" when alpha is allowed; the '#' is optional. */
static int parse_color(const char *s, int *rgba, int allow_alpha) {
    if (*s == '#') s++;
    size_t n = strlen(s);
    if (n != 6 && !(allow_alpha && n == 8)) return -1;
    rgba[3] = 255;
    for (size_t i = 0; i < n; i += 2) {
        int hi = hex_digit(s[i]), lo = hex_digit(s[i + 1]);
        if (hi < 0 || lo < 0) return -1;
        rgba[i / 2] = hi * 16 + lo;
    }
    return 0;
}

static int parse_name(const char *s, const char *const *names, int count, int *out) {
    for (int i = 0; i < count; i++)
        if (strcasecmp(s, names[i]) == 0) {
            *out = i;
            return 0;
        }
    return parse_int(s, 0, count - 1, out);
}

static const char *const MODULE_STYLES[] = {"block", "pill", "disc", "leaf", "petal", "fan"};
static const char *const RING_STYLES[] = {"box", "circle", "cushion", "pebble", "tile", "tube"};
static const char *const CENTER_STYLES[] = {"box", "disc", "cushion"};

/* ---- Style options, shared by every command that draws ------------------- */

typedef struct {
    int set;
    int type; /* the library's public numbering: 0 linear, 1 radial */
    float rotation;
    int from[4], to[4];
} gradient_opt;

typedef struct {
    const char *preset;
    int module_style, ring_style, center_style; /* -1: not given */
    int module_color[4], ring_color[4], center_color[4], background[4];
    int module_color_set, ring_color_set, center_color_set, background_set;
    gradient_opt module_gradient, ring_gradient, center_gradient, background_gradient;
    const char *logo;
    float logo_size;
    int logo_margin;
} style_opts;

/* "linear:#rrggbb:#rrggbb[:DEGREES]" or "radial:#rrggbb:#rrggbb". */
static int parse_gradient(const char *s, gradient_opt *g) {
    char buf[128];
    if (strlen(s) >= sizeof buf) return -1;
    strcpy(buf, s);
    char *save = NULL;
    char *kind = strtok_r(buf, ":", &save);
    char *from = strtok_r(NULL, ":", &save);
    char *to = strtok_r(NULL, ":", &save);
    char *angle = strtok_r(NULL, ":", &save);
    if (!kind || !from || !to || strtok_r(NULL, ":", &save)) return -1;
    if (strcasecmp(kind, "linear") == 0)
        g->type = 0;
    else if (strcasecmp(kind, "radial") == 0)
        g->type = 1;
    else
        return -1;
    if (parse_color(from, g->from, 0) || parse_color(to, g->to, 0)) return -1;
    double deg = 0.0;
    if (angle && parse_double(angle, &deg)) return -1;
    g->rotation = (float)deg;
    g->set = 1;
    return 0;
}

enum {
    OPT_PRESET = 256, OPT_MODULE_STYLE, OPT_MODULE_COLOR, OPT_MODULE_GRADIENT,
    OPT_RING_STYLE, OPT_RING_COLOR, OPT_RING_GRADIENT, OPT_CENTER_STYLE,
    OPT_CENTER_COLOR, OPT_CENTER_GRADIENT, OPT_BACKGROUND, OPT_BACKGROUND_GRADIENT,
    OPT_LOGO, OPT_LOGO_SIZE, OPT_LOGO_MARGIN,
    OPT_SSID, OPT_PASSWORD, OPT_SECURITY, OPT_NAME, OPT_PHONE, OPT_EMAIL, OPT_TO,
    OPT_SUBJECT, OPT_BODY, OPT_MESSAGE, OPT_LAT, OPT_LON, OPT_TITLE, OPT_START,
    OPT_END, OPT_LOCATION
};

#define STYLE_LONG_OPTIONS                                                       \
    {"preset", required_argument, NULL, OPT_PRESET},                             \
    {"module-style", required_argument, NULL, OPT_MODULE_STYLE},                 \
    {"module-color", required_argument, NULL, OPT_MODULE_COLOR},                 \
    {"module-gradient", required_argument, NULL, OPT_MODULE_GRADIENT},           \
    {"ring-style", required_argument, NULL, OPT_RING_STYLE},                     \
    {"ring-color", required_argument, NULL, OPT_RING_COLOR},                     \
    {"ring-gradient", required_argument, NULL, OPT_RING_GRADIENT},               \
    {"center-style", required_argument, NULL, OPT_CENTER_STYLE},                 \
    {"center-color", required_argument, NULL, OPT_CENTER_COLOR},                 \
    {"center-gradient", required_argument, NULL, OPT_CENTER_GRADIENT},           \
    {"background", required_argument, NULL, OPT_BACKGROUND},                     \
    {"background-gradient", required_argument, NULL, OPT_BACKGROUND_GRADIENT},   \
    {"logo", required_argument, NULL, OPT_LOGO},                                 \
    {"logo-size", required_argument, NULL, OPT_LOGO_SIZE},                       \
    {"logo-margin", required_argument, NULL, OPT_LOGO_MARGIN}

static const char STYLE_HELP[] =
    "Style options (applied after --preset, so they refine it):\n"
    "  -p, --preset NAME            modern, dots, elegant, neon, corporate, minimal\n"
    "      --module-style NAME      block, pill, disc, leaf, petal, fan\n"
    "      --ring-style NAME        finder rings: box, circle, cushion, pebble, tile, tube\n"
    "      --center-style NAME      finder centres: box, disc, cushion\n"
    "      --module-color #RRGGBB   also --ring-color, --center-color\n"
    "      --module-gradient KIND:#FROM:#TO[:DEGREES]\n"
    "                               KIND linear or radial; also --ring-gradient,\n"
    "                               --center-gradient, --background-gradient\n"
    "      --background #RRGGBB[AA] or 'transparent'\n"
    "      --logo FILE              centre logo (any image format; raises the level to H)\n"
    "      --logo-size FRACTION     box side as a fraction of the symbol (default 0.2, max 0.5)\n"
    "      --logo-margin PIXELS     clear border around the logo (default 4)\n";

static void style_defaults(style_opts *s) {
    memset(s, 0, sizeof *s);
    s->module_style = s->ring_style = s->center_style = -1;
    s->logo_size = 0.2f;
    s->logo_margin = 4;
}

/* Returns 1 when `code` was a style option, 0 when it is not one, -1 on a bad value. */
static int style_option(style_opts *s, int code, const char *arg) {
    int ok = 0;
    switch (code) {
    case 'p':
    case OPT_PRESET: s->preset = arg; return 1;
    case OPT_MODULE_STYLE: ok = parse_name(arg, MODULE_STYLES, 6, &s->module_style); break;
    case OPT_RING_STYLE: ok = parse_name(arg, RING_STYLES, 6, &s->ring_style); break;
    case OPT_CENTER_STYLE: ok = parse_name(arg, CENTER_STYLES, 3, &s->center_style); break;
    case OPT_MODULE_COLOR:
        ok = parse_color(arg, s->module_color, 0);
        s->module_color_set = 1;
        s->module_gradient.set = 0;
        break;
    case OPT_RING_COLOR:
        ok = parse_color(arg, s->ring_color, 0);
        s->ring_color_set = 1;
        s->ring_gradient.set = 0;
        break;
    case OPT_CENTER_COLOR:
        ok = parse_color(arg, s->center_color, 0);
        s->center_color_set = 1;
        s->center_gradient.set = 0;
        break;
    case OPT_BACKGROUND:
        if (strcasecmp(arg, "transparent") == 0) {
            s->background[0] = s->background[1] = s->background[2] = 255;
            s->background[3] = 0;
        } else {
            ok = parse_color(arg, s->background, 1);
        }
        s->background_set = 1;
        s->background_gradient.set = 0;
        break;
    case OPT_MODULE_GRADIENT: ok = parse_gradient(arg, &s->module_gradient); break;
    case OPT_RING_GRADIENT: ok = parse_gradient(arg, &s->ring_gradient); break;
    case OPT_CENTER_GRADIENT: ok = parse_gradient(arg, &s->center_gradient); break;
    case OPT_BACKGROUND_GRADIENT: ok = parse_gradient(arg, &s->background_gradient); break;
    case OPT_LOGO: s->logo = arg; return 1;
    case OPT_LOGO_SIZE: {
        double v = 0;
        ok = parse_double(arg, &v);
        if (!ok && (v <= 0.0 || v > 0.5)) ok = -1;
        s->logo_size = (float)v;
        break;
    }
    case OPT_LOGO_MARGIN: ok = parse_int(arg, 0, 100000, &s->logo_margin); break;
    default: return 0;
    }
    return ok == 0 ? 1 : -1;
}

typedef void (*gradient_setter)(int, float, int, int, int, int, int, int);

static void apply_gradient(const gradient_opt *g, gradient_setter set) {
    if (g->set) set(g->type, g->rotation, g->from[0], g->from[1], g->from[2], g->to[0], g->to[1], g->to[2]);
}

/* Sets the library's style from the options; 0 on success. */
static int apply_style(const style_opts *s) {
    qr_init();
    if (s->preset && qr_apply_preset(s->preset) != 1) return library_error(NULL);
    if (s->module_style >= 0) qr_set_dot_style(s->module_style);
    if (s->ring_style >= 0) qr_set_corner_square_style(s->ring_style);
    if (s->center_style >= 0) qr_set_corner_dot_style(s->center_style);
    if (s->module_color_set) qr_set_dot_color(s->module_color[0], s->module_color[1], s->module_color[2]);
    if (s->ring_color_set)
        qr_set_corner_square_color(s->ring_color[0], s->ring_color[1], s->ring_color[2]);
    if (s->center_color_set)
        qr_set_corner_dot_color(s->center_color[0], s->center_color[1], s->center_color[2]);
    if (s->background_set)
        qr_set_background_color(s->background[0], s->background[1], s->background[2], s->background[3]);
    apply_gradient(&s->module_gradient, qr_set_dot_gradient);
    apply_gradient(&s->ring_gradient, qr_set_corner_square_gradient);
    apply_gradient(&s->center_gradient, qr_set_corner_dot_gradient);
    apply_gradient(&s->background_gradient, qr_set_background_gradient);
    if (s->logo) qr_set_logo(s->logo, s->logo_size, s->logo_margin);
    return 0;
}

/* ---- Output helpers ------------------------------------------------------- */

static int ends_with_svg(const char *path) {
    size_t n = strlen(path);
    return n >= 4 && strcasecmp(path + n - 4, ".svg") == 0;
}

static int write_stdout(const void *data, size_t len) {
    if (fwrite(data, 1, len, stdout) != len || fflush(stdout) != 0) {
        fprintf(stderr, "%s: cannot write to standard output\n", g_cmd);
        return EXIT_FAILURE;
    }
    return 0;
}

/* Common option parsing: builds the getopt_long table from the command's own
 * options plus the style options, and hands each option to `handle`. */
typedef int (*option_handler)(void *ctx, int code, const char *arg);

static int parse_options(int argc, char **argv, const char *shortopts,
                         const struct option *own, size_t own_count, int with_style,
                         style_opts *style, const char *help, void *ctx,
                         option_handler handle) {
    static const struct option STYLE[] = {STYLE_LONG_OPTIONS};
    static const struct option HELP = {"help", no_argument, NULL, 'h'};
    struct option table[64];
    size_t n = 0;
    for (size_t i = 0; i < own_count; i++) table[n++] = own[i];
    if (with_style)
        for (size_t i = 0; i < sizeof STYLE / sizeof STYLE[0]; i++) table[n++] = STYLE[i];
    table[n++] = HELP;
    memset(&table[n], 0, sizeof table[n]);

    optind = 1;
    opterr = 0;
    int code;
    while ((code = getopt_long(argc, argv, shortopts, table, NULL)) != -1) {
        if (code == 'h') {
            fputs(help, stdout);
            if (with_style) fputs(STYLE_HELP, stdout);
            return -2;
        }
        if (code == '?' || code == ':') {
            if (optopt > 0 && optopt < 256)
                fprintf(stderr, "%s: option '-%c' %s\n", g_cmd, optopt,
                        code == ':' ? "needs a value" : "is not known");
            else
                fprintf(stderr, "%s: option '%s' is not known or needs a value\n", g_cmd,
                        argv[optind - 1]);
            fprintf(stderr, "Try '%s --help'.\n", g_cmd);
            return -1;
        }
        int r = with_style ? style_option(style, code, optarg) : 0;
        if (r < 0) {
            usage_error("invalid value '%s'", optarg);
            return -1;
        }
        if (r == 0 && handle(ctx, code, optarg) != 0) return -1;
    }
    return 0;
}

/* Turns a parse_options result into an exit code (-2 help, -1 usage error). */
#define PARSE_OR_RETURN(call)                                                    \
    do {                                                                         \
        int parsed_ = (call);                                                    \
        if (parsed_ == -2) return EXIT_SUCCESS;                                  \
        if (parsed_ != 0) return EXIT_USAGE;                                     \
    } while (0)

/* ---- Level, module size, quiet zone: shared by encode and batch ---------- */

typedef struct {
    int level, module_size, quiet_zone, verbose;
} code_opts;

static const code_opts CODE_DEFAULTS = {1, 10, 4, 0};

/* 0 when `code` was one of these options with a good value, -1 for a bad
 * value, 1 when it is not one of them. */
static int code_option(code_opts *o, int code, const char *arg) {
    switch (code) {
    case 'l': return parse_level(arg, &o->level);
    case 's': return parse_int(arg, 1, 10000, &o->module_size);
    case 'q': return parse_int(arg, 0, 10000, &o->quiet_zone);
    case 'v': o->verbose = 1; return 0;
    default: return 1;
    }
}

#define CODE_LONG_OPTIONS                                                        \
    {"level", required_argument, NULL, 'l'},                                     \
    {"module-size", required_argument, NULL, 's'},                               \
    {"quiet-zone", required_argument, NULL, 'q'},                                \
    {"verbose", no_argument, NULL, 'v'}

#define CODE_HELP                                                                \
    "  -l, --level L|M|Q|H      error correction (default M)\n"                  \
    "  -s, --module-size PX     pixels per module (default 10)\n"                \
    "  -q, --quiet-zone N       border in modules (default 4)\n"

/* ---- encode --------------------------------------------------------------- */

typedef struct {
    const char *output;
    int format; /* -1 from the extension, 0 PNG, 1 SVG */
    code_opts code;
} encode_opts;

static int encode_option(void *ctx, int code, const char *arg) {
    encode_opts *o = ctx;
    int r = code_option(&o->code, code, arg);
    if (r == 1) {
        r = -1;
        if (code == 'o') {
            o->output = arg;
            r = 0;
        } else if (code == 'f' && (strcasecmp(arg, "png") == 0 || strcasecmp(arg, "svg") == 0)) {
            o->format = strcasecmp(arg, "svg") == 0;
            r = 0;
        }
    }
    if (r != 0) usage_error("invalid value '%s'", arg ? arg : "");
    return r;
}

static const struct option ENCODE_OPTIONS[] = {
    {"output", required_argument, NULL, 'o'},
    {"format", required_argument, NULL, 'f'},
    CODE_LONG_OPTIONS,
};

static const char ENCODE_HELP[] =
    "Usage: vqr encode [OPTIONS] -o FILE [TEXT]\n"
    "Write TEXT (or standard input, less one trailing line end) as a QR code.\n\n"
    "  -o, --output FILE        PNG or SVG file; '-' writes to standard output\n"
    "  -f, --format png|svg     default: from the output's extension (.svg), else PNG\n"
    CODE_HELP
    "  -v, --verbose            name the file written\n"
    "  -h, --help               this text\n\n";

static int cmd_encode(int argc, char **argv) {
    encode_opts o = {NULL, -1, CODE_DEFAULTS};
    style_opts style;
    style_defaults(&style);
    PARSE_OR_RETURN(parse_options(argc, argv, "o:f:l:s:q:vp:h", ENCODE_OPTIONS,
                                  sizeof ENCODE_OPTIONS / sizeof ENCODE_OPTIONS[0], 1, &style,
                                  ENCODE_HELP, &o, encode_option));
    if (!o.output) {
        usage_error("%s", "an output file is required (-o FILE)");
        return EXIT_USAGE;
    }
    if (argc - optind > 1) {
        usage_error("%s", "give the text as one argument (quote it)");
        return EXIT_USAGE;
    }
    int svg = o.format >= 0 ? o.format : ends_with_svg(o.output);
    char *text = read_text_arg(optind < argc ? argv[optind] : NULL);
    if (!text) {
        fprintf(stderr, "%s: cannot read the text: %s\n", g_cmd, strerror(errno));
        return EXIT_FAILURE;
    }
    int rc = apply_style(&style);
    if (rc == 0) {
        int to_stdout = strcmp(o.output, "-") == 0;
        const code_opts *c = &o.code;
        if (svg && to_stdout) {
            const char *doc = qr_encode_to_svg_string(text, c->level, c->module_size, c->quiet_zone);
            rc = doc ? write_stdout(doc, strlen(doc)) : library_error(NULL);
        } else if (svg) {
            rc = qr_encode_to_svg_file(text, o.output, c->level, c->module_size, c->quiet_zone) == 1
                     ? 0 : library_error(o.output);
        } else if (to_stdout) {
            int len = 0;
            unsigned char *png = qr_encode_to_memory(text, c->level, c->module_size, c->quiet_zone, &len);
            rc = png ? write_stdout(png, (size_t)len) : library_error(NULL);
            qr_free_buffer(png);
        } else {
            rc = qr_encode_to_file(text, o.output, c->level, c->module_size, c->quiet_zone) == 1
                     ? 0 : library_error(o.output);
        }
        if (rc == 0 && c->verbose && !to_stdout) fprintf(stderr, "%s: wrote %s\n", g_cmd, o.output);
    }
    free(text);
    qr_cleanup();
    return rc;
}

/* ---- decode --------------------------------------------------------------- */

static const char DECODE_HELP[] =
    "Usage: vqr decode FILE...\n"
    "Print the text of the first QR code in each image (PNG, JPEG, BMP, GIF, TGA,\n"
    "PSD, HDR, PIC, PNM). '-' reads the image from standard input. With more than\n"
    "one file each line starts with the file name. Exits with 1 when any image\n"
    "holds no readable code.\n\n"
    "  -h, --help               this text\n";

static int no_option(void *ctx, int code, const char *arg) {
    (void)ctx;
    (void)code;
    (void)arg;
    return -1;
}

static int cmd_decode(int argc, char **argv) {
    PARSE_OR_RETURN(parse_options(argc, argv, "h", NULL, 0, 0, NULL, DECODE_HELP, NULL, no_option));
    if (optind >= argc) {
        usage_error("%s", "name at least one image file ('-' for standard input)");
        return EXIT_USAGE;
    }
    int many = argc - optind > 1, rc = EXIT_SUCCESS;
    for (int i = optind; i < argc; i++) {
        const char *path = argv[i];
        const char *text;
        if (strcmp(path, "-") == 0) {
            size_t len = 0;
            unsigned char *data = read_stream(stdin, &len);
            if (!data || len > (size_t)0x7fffffff) {
                fprintf(stderr, "%s: cannot read standard input\n", g_cmd);
                free(data);
                rc = EXIT_FAILURE;
                continue;
            }
            text = qr_decode_from_memory(data, (int)len);
            free(data);
        } else {
            text = qr_decode_from_file(path);
        }
        if (!text || !*text) {
            library_error(path);
            rc = EXIT_FAILURE;
            continue;
        }
        if (many) printf("%s: ", path);
        printf("%s\n", text);
    }
    if (fflush(stdout) != 0) rc = EXIT_FAILURE;
    return rc;
}

/* ---- Payload commands ------------------------------------------------------ */

typedef struct {
    const char *output;
    int module_size, verbose;
    const char *field[4];   /* the command's texts, in the library's order */
    double lat, lon;
    int lat_set, lon_set;
} payload_opts;

/* Maps a payload option code to its slot in payload_opts.field. */
static int payload_slot(int code) {
    switch (code) {
    case OPT_SSID: case OPT_NAME: case OPT_TO: case OPT_PHONE: case OPT_TITLE: return 0;
    case OPT_PASSWORD: case OPT_SUBJECT: case OPT_MESSAGE: case OPT_START: return 1;
    case OPT_SECURITY: case OPT_BODY: case OPT_END: return 2;
    case OPT_LOCATION: return 3;
    default: return -1;
    }
}

static int payload_option(void *ctx, int code, const char *arg) {
    payload_opts *o = ctx;
    switch (code) {
    case 'o': o->output = arg; return 0;
    case 's': if (parse_int(arg, 1, 10000, &o->module_size) == 0) return 0; break;
    case 'v': o->verbose = 1; return 0;
    case OPT_LAT: if (parse_double(arg, &o->lat) == 0) { o->lat_set = 1; return 0; } break;
    case OPT_LON: if (parse_double(arg, &o->lon) == 0) { o->lon_set = 1; return 0; } break;
    default: {
        int slot = payload_slot(code);
        if (slot >= 0) {
            o->field[slot] = arg;
            return 0;
        }
    }
    }
    usage_error("invalid value '%s'", arg ? arg : "");
    return -1;
}

/* The vCard's phone and e-mail are fields 1 and 2; OPT_PHONE and OPT_EMAIL
 * mean different slots there than in the sms command. */
static int vcard_option(void *ctx, int code, const char *arg) {
    payload_opts *o = ctx;
    if (code == OPT_PHONE) { o->field[1] = arg; return 0; }
    if (code == OPT_EMAIL) { o->field[2] = arg; return 0; }
    return payload_option(ctx, code, arg);
}

#define PAYLOAD_COMMON_OPTIONS                                                   \
    {"output", required_argument, NULL, 'o'},                                    \
    {"module-size", required_argument, NULL, 's'},                               \
    {"verbose", no_argument, NULL, 'v'}

#define PAYLOAD_COMMON_HELP                                                      \
    "  -o, --output FILE        PNG file to write (required)\n"                  \
    "  -s, --module-size PX     pixels per module (default 10)\n"                \
    "  -v, --verbose            name the file written\n"                         \
    "  -h, --help               this text\n"                                     \
    "The code is written at level Q with a quiet zone of 2 modules.\n\n"

typedef struct {
    const char *name;
    const char *help;
    const struct option *options;
    size_t option_count;
    option_handler handle;
    const char *required[2]; /* long names of required options, in field order */
} payload_command;

static const struct option WIFI_OPTIONS[] = {
    PAYLOAD_COMMON_OPTIONS,
    {"ssid", required_argument, NULL, OPT_SSID},
    {"password", required_argument, NULL, OPT_PASSWORD},
    {"security", required_argument, NULL, OPT_SECURITY},
};
static const struct option VCARD_OPTIONS[] = {
    PAYLOAD_COMMON_OPTIONS,
    {"name", required_argument, NULL, OPT_NAME},
    {"phone", required_argument, NULL, OPT_PHONE},
    {"email", required_argument, NULL, OPT_EMAIL},
};
static const struct option EMAIL_OPTIONS[] = {
    PAYLOAD_COMMON_OPTIONS,
    {"to", required_argument, NULL, OPT_TO},
    {"subject", required_argument, NULL, OPT_SUBJECT},
    {"body", required_argument, NULL, OPT_BODY},
};
static const struct option SMS_OPTIONS[] = {
    PAYLOAD_COMMON_OPTIONS,
    {"phone", required_argument, NULL, OPT_PHONE},
    {"message", required_argument, NULL, OPT_MESSAGE},
};
static const struct option GEO_OPTIONS[] = {
    PAYLOAD_COMMON_OPTIONS,
    {"lat", required_argument, NULL, OPT_LAT},
    {"lon", required_argument, NULL, OPT_LON},
};
static const struct option EVENT_OPTIONS[] = {
    PAYLOAD_COMMON_OPTIONS,
    {"title", required_argument, NULL, OPT_TITLE},
    {"start", required_argument, NULL, OPT_START},
    {"end", required_argument, NULL, OPT_END},
    {"location", required_argument, NULL, OPT_LOCATION},
};

#define COUNT(a) (sizeof(a) / sizeof((a)[0]))

static const payload_command PAYLOADS[] = {
    {"wifi",
     "Usage: vqr wifi --ssid NAME [--password SECRET] [--security WPA|WEP|nopass] -o FILE\n"
     "Write a Wi-Fi network code (WIFI:T:...;S:...;P:...;;). Security defaults to WPA.\n\n"
     PAYLOAD_COMMON_HELP,
     WIFI_OPTIONS, COUNT(WIFI_OPTIONS), payload_option, {"ssid", NULL}},
    {"vcard",
     "Usage: vqr vcard --name 'GIVEN FAMILY' [--phone NUMBER] [--email ADDRESS] -o FILE\n"
     "Write a vCard 3.0 contact code.\n\n" PAYLOAD_COMMON_HELP,
     VCARD_OPTIONS, COUNT(VCARD_OPTIONS), vcard_option, {"name", NULL}},
    {"email",
     "Usage: vqr email --to ADDRESS [--subject TEXT] [--body TEXT] -o FILE\n"
     "Write a mailto: link code.\n\n" PAYLOAD_COMMON_HELP,
     EMAIL_OPTIONS, COUNT(EMAIL_OPTIONS), payload_option, {"to", NULL}},
    {"sms",
     "Usage: vqr sms --phone NUMBER [--message TEXT] -o FILE\n"
     "Write an smsto: code. Only +, - and digits of the number are kept.\n\n" PAYLOAD_COMMON_HELP,
     SMS_OPTIONS, COUNT(SMS_OPTIONS), payload_option, {"phone", NULL}},
    {"geo",
     "Usage: vqr geo --lat DEGREES --lon DEGREES -o FILE\n"
     "Write a geo: position code (latitude -90..90, longitude -180..180).\n\n" PAYLOAD_COMMON_HELP,
     GEO_OPTIONS, COUNT(GEO_OPTIONS), payload_option, {"lat", "lon"}},
    {"event",
     "Usage: vqr event --title TEXT --start WHEN [--end WHEN] [--location TEXT] -o FILE\n"
     "Write a one-event iCalendar code. WHEN is ISO 8601: 2024-05-01,\n"
     "2024-05-01T10:30:00 (local) or 2024-05-01T10:30:00Z (UTC).\n\n" PAYLOAD_COMMON_HELP,
     EVENT_OPTIONS, COUNT(EVENT_OPTIONS), payload_option, {"title", "start"}},
};

static int cmd_payload(const payload_command *c, int argc, char **argv) {
    payload_opts o;
    memset(&o, 0, sizeof o);
    o.module_size = 10;
    style_opts style;
    style_defaults(&style);
    PARSE_OR_RETURN(parse_options(argc, argv, "o:s:vp:h", c->options, c->option_count, 1, &style,
                                  c->help, &o, c->handle));
    if (optind < argc) {
        usage_error("unexpected argument '%s'", argv[optind]);
        return EXIT_USAGE;
    }
    if (!o.output) {
        usage_error("%s", "an output file is required (-o FILE)");
        return EXIT_USAGE;
    }
    if (ends_with_svg(o.output)) {
        usage_error("%s", "payload codes are written as PNG; name a .png file");
        return EXIT_USAGE;
    }
    int is_geo = strcmp(c->name, "geo") == 0;
    for (int i = 0; i < 2 && c->required[i]; i++) {
        int present = is_geo ? (i == 0 ? o.lat_set : o.lon_set) : o.field[i] != NULL;
        if (!present) {
            usage_error("--%s is required", c->required[i]);
            return EXIT_USAGE;
        }
    }
    int rc = apply_style(&style);
    if (rc != 0) return rc;
    const char *const *f = o.field;
    int ok;
    if (strcmp(c->name, "wifi") == 0)
        ok = qr_encode_wifi(f[0], f[1], f[2], o.output, o.module_size);
    else if (strcmp(c->name, "vcard") == 0)
        ok = qr_encode_vcard(f[0], f[1], f[2], o.output, o.module_size);
    else if (strcmp(c->name, "email") == 0)
        ok = qr_encode_email(f[0], f[1], f[2], o.output, o.module_size);
    else if (strcmp(c->name, "sms") == 0)
        ok = qr_encode_sms(f[0], f[1], o.output, o.module_size);
    else if (is_geo)
        ok = qr_encode_geo(o.lat, o.lon, o.output, o.module_size);
    else
        ok = qr_encode_event(f[0], f[1], f[2], f[3], o.output, o.module_size);
    rc = ok == 1 ? EXIT_SUCCESS : library_error(o.output);
    if (rc == 0 && o.verbose) fprintf(stderr, "%s: wrote %s\n", g_cmd, o.output);
    qr_cleanup();
    return rc;
}

/* ---- batch ---------------------------------------------------------------- */

typedef struct {
    const char *dir;
    code_opts code;
} batch_opts;

static int batch_option(void *ctx, int code, const char *arg) {
    batch_opts *o = ctx;
    int r = code_option(&o->code, code, arg);
    if (r == 1 && code == 'd') {
        o->dir = arg;
        r = 0;
    }
    if (r != 0) usage_error("invalid value '%s'", arg ? arg : "");
    return r;
}

static const struct option BATCH_OPTIONS[] = {
    {"directory", required_argument, NULL, 'd'},
    CODE_LONG_OPTIONS,
};

static const char BATCH_HELP[] =
    "Usage: vqr batch -d DIR [OPTIONS] [JSON_FILE]\n"
    "Write one PNG per item of a JSON array [{\"text\": ..., \"filename\": ...}, ...]\n"
    "read from JSON_FILE or standard input. Stops at the first failing item.\n\n"
    "  -d, --directory DIR      where the files go (must exist)\n"
    CODE_HELP
    "  -v, --verbose            print how many codes were written\n"
    "  -h, --help               this text\n\n";

static int cmd_batch(int argc, char **argv) {
    batch_opts o = {NULL, CODE_DEFAULTS};
    style_opts style;
    style_defaults(&style);
    PARSE_OR_RETURN(parse_options(argc, argv, "d:l:s:q:vp:h", BATCH_OPTIONS, COUNT(BATCH_OPTIONS), 1,
                                  &style, BATCH_HELP, &o, batch_option));
    if (!o.dir) {
        usage_error("%s", "an output directory is required (-d DIR)");
        return EXIT_USAGE;
    }
    if (argc - optind > 1) {
        usage_error("unexpected argument '%s'", argv[optind + 1]);
        return EXIT_USAGE;
    }
    const char *src = optind < argc ? argv[optind] : "-";
    size_t len = 0;
    char *json = (char *)read_input(src, &len);
    if (!json) {
        fprintf(stderr, "%s: cannot read %s: %s\n", g_cmd, strcmp(src, "-") ? src : "standard input",
                strerror(errno));
        return EXIT_FAILURE;
    }
    int rc = apply_style(&style);
    if (rc == 0) {
        int n = qr_encode_batch(json, o.dir, o.code.level, o.code.module_size, o.code.quiet_zone);
        if (n < 0)
            rc = library_error(NULL);
        else if (o.code.verbose)
            fprintf(stderr, "%s: wrote %d code%s to %s\n", g_cmd, n, n == 1 ? "" : "s", o.dir);
    }
    free(json);
    qr_cleanup();
    return rc;
}

/* ---- version -------------------------------------------------------------- */

static const char VERSION_HELP[] =
    "Usage: vqr version [-l L|M|Q|H] [TEXT]\n"
    "Print the QR version (1..40) that TEXT (or standard input, less one trailing\n"
    "line end) needs at the level. Exits with 1 when it does not fit in version 40.\n\n"
    "  -l, --level L|M|Q|H      error correction (default M)\n"
    "  -h, --help               this text\n";

static int version_option(void *ctx, int code, const char *arg) {
    if (code == 'l' && parse_level(arg, ctx) == 0) return 0;
    usage_error("invalid value '%s'", arg ? arg : "");
    return -1;
}

static int cmd_version(int argc, char **argv) {
    static const struct option OPTIONS[] = {{"level", required_argument, NULL, 'l'}};
    int level = 1;
    PARSE_OR_RETURN(parse_options(argc, argv, "l:h", OPTIONS, 1, 0, NULL, VERSION_HELP, &level,
                                  version_option));
    if (argc - optind > 1) {
        usage_error("%s", "give the text as one argument (quote it)");
        return EXIT_USAGE;
    }
    char *text = read_text_arg(optind < argc ? argv[optind] : NULL);
    if (!text) {
        fprintf(stderr, "%s: cannot read the text: %s\n", g_cmd, strerror(errno));
        return EXIT_FAILURE;
    }
    int v = qr_get_version(text, level);
    free(text);
    if (v <= 0) {
        fprintf(stderr, "%s: the text does not fit in any QR version (max 40) at this level\n", g_cmd);
        return EXIT_FAILURE;
    }
    printf("%d\n", v);
    return fflush(stdout) == 0 ? EXIT_SUCCESS : EXIT_FAILURE;
}

/* ---- main ----------------------------------------------------------------- */

static const char MAIN_HELP[] =
    "Usage: vqr COMMAND [OPTIONS]\n"
    "Make styled QR codes (PNG, SVG) and read them back.\n\n"
    "Commands:\n"
    "  encode    write a text as a PNG or SVG code\n"
    "  decode    print the text of the QR code in images\n"
    "  wifi      Wi-Fi network code\n"
    "  vcard     contact card code\n"
    "  email     e-mail (mailto:) code\n"
    "  sms       text message (smsto:) code\n"
    "  geo       geographic position code\n"
    "  event     calendar event code\n"
    "  batch     one code per item of a JSON array\n"
    "  version   the QR version a text needs\n\n"
    "'vqr COMMAND --help' describes each command. 'vqr --version' prints the\n"
    "tool's own version.\n\n"
    "Examples:\n"
    "  vqr encode -p neon -o code.png 'https://example.org'\n"
    "  vqr encode --module-style disc --ring-style circle -o code.svg 'hello'\n"
    "  vqr decode code.png\n"
    "  vqr wifi --ssid Home --password 'secret' -o wifi.png\n";

int main(int argc, char **argv) {
    if (argc < 2) {
        fputs(MAIN_HELP, stderr);
        return EXIT_USAGE;
    }
    const char *cmd = argv[1];
    if (strcmp(cmd, "-h") == 0 || strcmp(cmd, "--help") == 0 || strcmp(cmd, "help") == 0) {
        fputs(MAIN_HELP, stdout);
        return EXIT_SUCCESS;
    }
    if (strcmp(cmd, "--version") == 0) {
        printf("vqr %s\n", VQR_TOOL_VERSION);
        return EXIT_SUCCESS;
    }
    static char name[64];
    snprintf(name, sizeof name, "vqr %s", cmd);
    g_cmd = name;
    argc--;
    argv++;
    if (strcmp(cmd, "encode") == 0) return cmd_encode(argc, argv);
    if (strcmp(cmd, "decode") == 0) return cmd_decode(argc, argv);
    if (strcmp(cmd, "batch") == 0) return cmd_batch(argc, argv);
    if (strcmp(cmd, "version") == 0) return cmd_version(argc, argv);
    for (size_t i = 0; i < COUNT(PAYLOADS); i++)
        if (strcmp(cmd, PAYLOADS[i].name) == 0) return cmd_payload(&PAYLOADS[i], argc, argv);
    g_cmd = "vqr";
    usage_error("unknown command '%s'", cmd);
    return EXIT_USAGE;
}
