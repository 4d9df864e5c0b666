/* vqr: styled QR codes from the shell.
 *
 * A thin command-line front end over the public C interface: every
 * subcommand maps onto one library call (plus the style setters), so what
 * the tool does is exactly what a host program gets. Results go to stdout
 * only when they are the point of the command (decoded texts, a version
 * number, a document written to "-"); errors go to stderr with the
 * library's own message.
 *
 * One table describes the commands and one per command its options: the
 * getopt tables, the short-option strings, --help and the manual page are
 * all made from it, and each option names the field it fills.
 *
 * Exit status: 0 success, 1 the library reported a failure or found no
 * code, 2 the command line was wrong.
 */
#define _GNU_SOURCE
#include <errno.h>
#include <getopt.h>
#include <math.h>
#include <stdarg.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vantelor_qrcode.h>

#include "vqr_batch.h"
#include "vqr_cleanup.h"
#include "vqr_print.h"

#ifndef VQR_TOOL_VERSION
#define VQR_TOOL_VERSION "unknown"
#endif

enum { EXIT_USAGE = 2 };

/* The quiet zone, in modules, of the payload codes the library writes. */
enum { PAYLOAD_QUIET = 2 };

/* Inputs larger than this are refused rather than read whole into memory. */
#define MAX_INPUT_BYTES (64L * 1024 * 1024)

#define COUNT(a) (sizeof(a) / sizeof((a)[0]))

static const char *g_cmd = "vqr";

static void usage_error(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
static void usage_error(const char *fmt, ...) {
    va_list args;
    va_start(args, fmt);
    fprintf(stderr, "%s: ", g_cmd);
    vfprintf(stderr, fmt, args);
    fprintf(stderr, "\nTry '%s --help'.\n", g_cmd);
    va_end(args);
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

/* A closed list of names, matched in any case; `numbered` also accepts the
 * index as a number. */
typedef struct {
    const char *const *names;
    int count, numbered;
} name_list;

static int parse_name(const char *s, const name_list *list, int *out) {
    for (int i = 0; i < list->count; i++)
        if (strcasecmp(s, list->names[i]) == 0) {
            *out = i;
            return 0;
        }
    return list->numbered ? parse_int(s, 0, list->count - 1, out) : -1;
}

static const char *const MODULE_NAMES[] = {"block", "pill", "disc", "leaf", "petal", "fan"};
static const char *const RING_NAMES[] = {"box", "circle", "cushion", "pebble", "tile", "tube"};
static const char *const CENTER_NAMES[] = {"box", "disc", "cushion"};
static const char *const FORMAT_NAMES[] = {"png", "svg"};
static const name_list MODULE_STYLES = {MODULE_NAMES, (int)COUNT(MODULE_NAMES), 1};
static const name_list RING_STYLES = {RING_NAMES, (int)COUNT(RING_NAMES), 1};
static const name_list CENTER_STYLES = {CENTER_NAMES, (int)COUNT(CENTER_NAMES), 1};
static const name_list FORMATS = {FORMAT_NAMES, (int)COUNT(FORMAT_NAMES), 0};
/* Grade letters by score: F 0 .. A 4. */
static const char *const GRADE_NAMES[] = {"F", "D", "C", "B", "A"};
static const name_list GRADES = {GRADE_NAMES, (int)COUNT(GRADE_NAMES), 0};
enum { DEFAULT_MIN_GRADE = 2 }; /* C */
/* Wi-Fi readers know T:WPA (for WPA, WPA2 and WPA3 personal networks alike:
 * the phone picks the handshake the network offers), T:WEP and T:nopass. */
static const char *const SECURITY_NAMES[] = {"WPA", "WPA2", "WPA3", "WEP", "nopass", "none"};
static const char *const SECURITY_WRITTEN[] = {"WPA", "WPA", "WPA", "WEP", "nopass", "nopass"};
static const name_list SECURITIES = {SECURITY_NAMES, (int)COUNT(SECURITY_NAMES), 0};

/* ---- The style a command draws with ---------------------------------------- */

/* The four paintable parts, in the order they are applied. */
enum { PAINT_MODULE, PAINT_RING, PAINT_CENTER, PAINT_BACKGROUND, PAINT_COUNT };

typedef struct {
    int type; /* the library's public numbering: 0 linear, 1 radial */
    float rotation;
    int from[4], to[4];
} gradient;

/* A solid colour or a gradient; the later option of the two wins. */
typedef struct {
    int color_set, gradient_set;
    int rgba[4];
    gradient gradient;
} paint;

typedef void (*gradient_setter)(int, float, int, int, int, int, int, int);

/* The background's colour setter takes an alpha and has no entry here. */
static const struct {
    void (*set_rgb)(int, int, int);
    gradient_setter set_gradient;
} PAINT_SETTERS[PAINT_COUNT] = {
    {qr_set_dot_color, qr_set_dot_gradient},
    {qr_set_corner_square_color, qr_set_corner_square_gradient},
    {qr_set_corner_dot_color, qr_set_corner_dot_gradient},
    {NULL, qr_set_background_gradient},
};

typedef struct {
    const char *preset;
    int figure[3]; /* module, ring, centre style; -1: not given */
    paint paints[PAINT_COUNT];
    const char *logo;
    float logo_size;
    int logo_margin;
} style_opts;

/* "linear:#rrggbb:#rrggbb[:DEGREES]" or "radial:#rrggbb:#rrggbb". */
static int parse_gradient(const char *s, gradient *g) {
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
    return 0;
}

static void apply_paint(const paint *p, int part) {
    const int *c = p->rgba;
    if (p->color_set) {
        if (PAINT_SETTERS[part].set_rgb)
            PAINT_SETTERS[part].set_rgb(c[0], c[1], c[2]);
        else
            qr_set_background_color(c[0], c[1], c[2], c[3]);
    }
    const gradient *g = &p->gradient;
    if (p->gradient_set)
        PAINT_SETTERS[part].set_gradient(g->type, g->rotation, g->from[0], g->from[1], g->from[2],
                                         g->to[0], g->to[1], g->to[2]);
}

/* Sets the library's style from the options; 0 on success. */
static int apply_style(const style_opts *s) {
    static void (*const SET_FIGURE[3])(int) = {qr_set_dot_style, qr_set_corner_square_style,
                                               qr_set_corner_dot_style};
    qr_init();
    if (s->preset && qr_apply_preset(s->preset) != 1) return library_error(NULL);
    for (int i = 0; i < 3; i++)
        if (s->figure[i] >= 0) SET_FIGURE[i](s->figure[i]);
    for (int part = 0; part < PAINT_COUNT; part++) apply_paint(&s->paints[part], part);
    if (s->logo) qr_set_logo(s->logo, s->logo_size, s->logo_margin);
    return 0;
}

/* ---- Options ------------------------------------------------------------------ */

/* Everything any command can be told; each option fills one field. */
typedef struct {
    const char *output, *dir;
    int format; /* -1 from the extension, 0 PNG, 1 SVG */
    int level, module_size, quiet_zone, verbose, verify;
    int json, min_grade;  /* check: JSON output; lowest passing grade, 0 F .. 4 A */
    int jobs, shard[2];   /* batch workers (0: one per core); shard K of N */
    const char *field[4]; /* a payload's texts, in the library's argument order */
    int security, hidden; /* Wi-Fi: index in SECURITIES; H:true */
    double lat, lon;
    const char *missing; /* the first required option not given */
    style_opts style;
    int dpi;              /* 0: not given */
    print_length size;    /* the whole code's side; value 0: not given */
    int terminal, invert; /* draw the code in the terminal */
} cli_args;

static void args_defaults(cli_args *a) {
    memset(a, 0, sizeof *a);
    a->format = -1;
    a->level = 1;
    a->module_size = 10;
    a->quiet_zone = 4;
    a->min_grade = DEFAULT_MIN_GRADE;
    a->shard[1] = 1;
    style_opts *s = &a->style;
    s->figure[0] = s->figure[1] = s->figure[2] = -1;
    s->logo_size = 0.2f;
    s->logo_margin = 4;
}

typedef enum {
    VAL_HELP,        /* prints the command's help */
    VAL_TEXT,        /* const char * */
    VAL_FLAG,        /* int, set to 1 */
    VAL_INT,         /* int in lo..hi */
    VAL_REAL,        /* any finite double */
    VAL_FRACTION,    /* float above 0, at most hi */
    VAL_LEVEL,       /* L, M, Q, H (any case) or 0..3 */
    VAL_NAME,        /* int: index in `names` */
    VAL_COLOR,       /* paint: #rrggbb */
    VAL_COLOR_ALPHA, /* paint: #rrggbb[aa] or 'transparent' */
    VAL_GRADIENT,    /* paint: a gradient */
    VAL_SHARD,       /* int[2]: K/N with 0 <= K < N */
    VAL_LENGTH       /* print_length: 30mm, 3cm, 1.2in, 400px */
} value_kind;

typedef struct {
    /* `val` is the short letter; long-only options leave it 0 and get a
     * code above 255 from their place in the merged table. */
    struct option opt;
    value_kind kind;
    size_t field;     /* offset in cli_args */
    const char *arg;  /* the value's name in the help */
    const char *help; /* NULL: named only in the usage line or a sibling's help */
    const name_list *names;
    double lo, hi;
    int required;
} cli_option;

#define FIELD(member) offsetof(cli_args, member)

/* "K/N": this process takes the items whose index is K modulo N. */
static int parse_shard(const char *s, int *shard) {
    char buf[32];
    const char *slash = strchr(s, '/');
    size_t k_len = slash ? (size_t)(slash - s) : 0;
    if (!slash || k_len >= sizeof buf) return -1;
    memcpy(buf, s, k_len);
    buf[k_len] = 0;
    if (parse_int(slash + 1, 1, 1000000, &shard[1]) || parse_int(buf, 0, shard[1] - 1, &shard[0]))
        return -1;
    return 0;
}

static int parse_value(const cli_option *o, cli_args *a, const char *arg) {
    void *field = (char *)a + o->field;
    paint *p = field;
    switch (o->kind) {
    case VAL_HELP: return 0;
    case VAL_TEXT: *(const char **)field = arg; return 0;
    case VAL_FLAG: *(int *)field = 1; return 0;
    case VAL_INT: return parse_int(arg, (long)o->lo, (long)o->hi, field);
    case VAL_REAL: return parse_double(arg, field);
    case VAL_FRACTION: {
        double v = 0;
        if (parse_double(arg, &v) || v <= 0.0 || v > o->hi) return -1;
        *(float *)field = (float)v;
        return 0;
    }
    case VAL_LEVEL: return parse_level(arg, field);
    case VAL_NAME: return parse_name(arg, o->names, field);
    case VAL_COLOR:
    case VAL_COLOR_ALPHA:
        p->color_set = 1;
        p->gradient_set = 0;
        if (o->kind == VAL_COLOR_ALPHA && strcasecmp(arg, "transparent") == 0) {
            p->rgba[0] = p->rgba[1] = p->rgba[2] = 255;
            p->rgba[3] = 0;
            return 0;
        }
        return parse_color(arg, p->rgba, o->kind == VAL_COLOR_ALPHA);
    case VAL_GRADIENT:
        if (parse_gradient(arg, &p->gradient)) return -1;
        p->gradient_set = 1;
        return 0;
    case VAL_SHARD: return parse_shard(arg, field);
    case VAL_LENGTH: return print_length_parse(arg, field);
    }
    return -1;
}

/* The fixed parts of an entry: names, what the value is and where it goes. */
#define VALUE(name, letter, kind_of, member) \
    .opt = {name, required_argument, NULL, letter}, .kind = kind_of, .field = FIELD(member)
#define SWITCH(name, letter, kind_of, member) \
    .opt = {name, no_argument, NULL, letter}, .kind = kind_of, .field = FIELD(member)
#define PAINT(part) style.paints[part]
#define GRADIENT_ARG "KIND:#FROM:#TO[:DEGREES]"

static const cli_option HELP = {
    .opt = {"help", no_argument, NULL, 'h'}, .kind = VAL_HELP, .arg = "", .help = "this text"};
static const cli_option LEVEL = {VALUE("level", 'l', VAL_LEVEL, level), .arg = "L|M|Q|H",
                                 .help = "error correction (default M)"};
static const cli_option MODULE_SIZE = {VALUE("module-size", 's', VAL_INT, module_size), .arg = "PX",
                                       .help = "pixels per module (default 10)", .lo = 1,
                                       .hi = 10000};
static const cli_option QUIET_ZONE = {VALUE("quiet-zone", 'q', VAL_INT, quiet_zone), .arg = "N",
                                      .help = "border in modules (default 4)", .lo = 0,
                                      .hi = 10000};
static const cli_option VERBOSE_FILE = {SWITCH("verbose", 'v', VAL_FLAG, verbose), .arg = "",
                                        .help =
                                            "name the file written (and the module size\n"
                                            "chosen for --size)"};
static const cli_option DPI = {VALUE("dpi", 0, VAL_INT, dpi), .arg = "N",
                               .help =
                                   "print resolution: a PNG records it (pHYs), an SVG\n"
                                   "gets its width and height in mm",
                               .lo = 1, .hi = 100000};
static const cli_option SIZE = {VALUE("size", 0, VAL_LENGTH, size), .arg = "LENGTH",
                                .help =
                                    "the whole code's side: 30mm, 3cm, 1.2in or 400px;\n"
                                    "sets the largest whole module size that fits\n"
                                    "(instead of -s; mm, cm, in at --dpi, else 300)"};

/* Listed in the order of the help; the ring and centre paints are named in
 * the module paint's line. */
static const cli_option STYLE_OPTIONS[] = {
    {VALUE("preset", 'p', VAL_TEXT, style.preset), .arg = "NAME",
     .help = "modern, dots, elegant, neon, corporate, minimal"},
    {VALUE("module-style", 0, VAL_NAME, style.figure[0]), .arg = "NAME",
     .help = "block, pill, disc, leaf, petal, fan", .names = &MODULE_STYLES},
    {VALUE("ring-style", 0, VAL_NAME, style.figure[1]), .arg = "NAME",
     .help = "finder rings: box, circle, cushion, pebble, tile, tube", .names = &RING_STYLES},
    {VALUE("center-style", 0, VAL_NAME, style.figure[2]), .arg = "NAME",
     .help = "finder centres: box, disc, cushion", .names = &CENTER_STYLES},
    {VALUE("module-color", 0, VAL_COLOR, PAINT(PAINT_MODULE)), .arg = "#RRGGBB",
     .help = "also --ring-color, --center-color"},
    {VALUE("ring-color", 0, VAL_COLOR, PAINT(PAINT_RING)), .arg = "#RRGGBB"},
    {VALUE("center-color", 0, VAL_COLOR, PAINT(PAINT_CENTER)), .arg = "#RRGGBB"},
    {VALUE("module-gradient", 0, VAL_GRADIENT, PAINT(PAINT_MODULE)), .arg = GRADIENT_ARG,
     .help = "KIND linear or radial; also --ring-gradient,\n"
             "--center-gradient, --background-gradient"},
    {VALUE("ring-gradient", 0, VAL_GRADIENT, PAINT(PAINT_RING)), .arg = GRADIENT_ARG},
    {VALUE("center-gradient", 0, VAL_GRADIENT, PAINT(PAINT_CENTER)), .arg = GRADIENT_ARG},
    {VALUE("background-gradient", 0, VAL_GRADIENT, PAINT(PAINT_BACKGROUND)), .arg = GRADIENT_ARG},
    {VALUE("background", 0, VAL_COLOR_ALPHA, PAINT(PAINT_BACKGROUND)), .arg = "#RRGGBB[AA]",
     .help = "or 'transparent'"},
    {VALUE("logo", 0, VAL_TEXT, style.logo), .arg = "FILE",
     .help = "centre logo (any image format; raises the level to H)"},
    {VALUE("logo-size", 0, VAL_FRACTION, style.logo_size), .arg = "FRACTION",
     .help = "box side as a fraction of the symbol (default 0.2, max 0.5)", .hi = 0.5},
    {VALUE("logo-margin", 0, VAL_INT, style.logo_margin), .arg = "PIXELS",
     .help = "clear border around the logo (default 4)", .lo = 0, .hi = 100000},
};

static const char STYLE_HEADING[] = "Style options (applied after --preset, so they refine it):\n";

/* Help columns: where the description starts. */
enum { COMMAND_HELP_COLUMN = 27, STYLE_HELP_COLUMN = 31 };

/* "  -o, --output FILE" padded to the column, then the description; a head
 * too wide for the column puts the description on the next line. */
static void print_option_help(FILE *out, const cli_option *o, int column) {
    if (!o->help) return;
    const struct option *opt = &o->opt;
    int width = opt->val ? fprintf(out, "  -%c, --%s", opt->val, opt->name)
                         : fprintf(out, "      --%s", opt->name);
    if (*o->arg) width += fprintf(out, " %s", o->arg);
    if (width < column)
        fprintf(out, "%*s", column - width, "");
    else
        fprintf(out, "\n%*s", column, "");
    for (const char *line = o->help; *line;) {
        size_t n = strcspn(line, "\n");
        fprintf(out, "%.*s\n", (int)n, line);
        line += n;
        if (*line == '\n' && *++line) fprintf(out, "%*s", column, "");
    }
}

/* ---- Commands ----------------------------------------------------------------- */

typedef struct command command;
/* Runs a command on its operands (what follows the options). */
typedef int (*command_run)(const command *c, cli_args *a, int argc, char **argv);

struct command {
    const char *name;
    const char *summary; /* its line in 'vqr --help' */
    const char *usage;   /* the help text above the options */
    const cli_option *const *options;
    size_t option_count;
    const char *trailer; /* the help text below the options */
    int styled;          /* takes the style options */
    command_run run;
    int (*write_payload)(const cli_args *a); /* payload commands only */
    char *(*payload_text)(const cli_args *a);
};

static void print_help(FILE *out, const command *c) {
    fputs(c->usage, out);
    for (size_t i = 0; i < c->option_count; i++)
        print_option_help(out, c->options[i], COMMAND_HELP_COLUMN);
    fputs(c->trailer, out);
    if (!c->styled) return;
    fputs(STYLE_HEADING, out);
    for (size_t i = 0; i < COUNT(STYLE_OPTIONS); i++)
        print_option_help(out, &STYLE_OPTIONS[i], STYLE_HELP_COLUMN);
}

/* The command's own options followed by the style options, in one list. */
typedef struct {
    const cli_option **all;
    struct option *table; /* for getopt_long, zero-terminated */
    char *shortopts;
    size_t count;
} option_set;

static void option_set_free(option_set *set) {
    free(set->all);
    free(set->table);
    free(set->shortopts);
}

static int option_set_build(const command *c, option_set *set) {
    size_t n = c->option_count + (c->styled ? COUNT(STYLE_OPTIONS) : 0);
    set->count = n;
    set->all = calloc(n, sizeof *set->all);
    set->table = calloc(n + 1, sizeof *set->table);
    /* ':' first: a missing value is told apart from an unknown option. */
    set->shortopts = calloc(2 * n + 2, 1);
    if (!set->all || !set->table || !set->shortopts) return -1;
    char *s = set->shortopts;
    *s++ = ':';
    for (size_t i = 0; i < n; i++) {
        const cli_option *o =
            i < c->option_count ? c->options[i] : &STYLE_OPTIONS[i - c->option_count];
        set->all[i] = o;
        set->table[i] = o->opt;
        if (!o->opt.val) {
            set->table[i].val = 256 + (int)i;
            continue;
        }
        *s++ = (char)o->opt.val;
        if (o->opt.has_arg == required_argument) *s++ = ':';
    }
    return 0;
}

/* The place in the set of the option getopt_long returned, or -1. */
static long option_index(const option_set *set, int code) {
    if (code >= 256) return (size_t)(code - 256) < set->count ? code - 256 : -1;
    for (size_t i = 0; i < set->count; i++)
        if (set->all[i]->opt.val == code) return (long)i;
    return -1;
}

static void option_error(int code, char **argv) {
    const char *token = argv[optind - 1];
    if (code == ':' && strncmp(token, "--", 2) == 0)
        fprintf(stderr, "%s: option '%s' needs a value\n", g_cmd, token);
    else if (optopt > 0 && optopt < 256)
        fprintf(stderr, "%s: option '-%c' %s\n", g_cmd, optopt,
                code == ':' ? "needs a value" : "is not known");
    else
        fprintf(stderr, "%s: option '%s' is not known or needs a value\n", g_cmd, token);
    fprintf(stderr, "Try '%s --help'.\n", g_cmd);
}

enum { PARSED = 0, PARSED_HELP = -2 };

/* Fills `a` from the options; PARSED, PARSED_HELP after printing the help,
 * or -1 after a usage error. Records the first required option not given. */
static int parse_options(const command *c, int argc, char **argv, cli_args *a) {
    option_set set = {0};
    unsigned char *seen = NULL;
    int rc = PARSED;
    if (option_set_build(c, &set) != 0 || !(seen = calloc(set.count, 1))) {
        fprintf(stderr, "%s: out of memory\n", g_cmd);
        rc = -1;
    }
    optind = 1;
    opterr = 0;
    int code;
    while (rc == PARSED && (code = getopt_long(argc, argv, set.shortopts, set.table, NULL)) != -1) {
        long i = option_index(&set, code);
        const cli_option *o = i >= 0 ? set.all[i] : NULL;
        if (!o) {
            option_error(code, argv);
            rc = -1;
        } else if (o->kind == VAL_HELP) {
            print_help(stdout, c);
            rc = PARSED_HELP;
        } else if (parse_value(o, a, optarg) != 0) {
            usage_error("invalid value '%s'", optarg ? optarg : "");
            rc = -1;
        } else {
            seen[i] = 1;
        }
    }
    for (size_t i = 0; rc == PARSED && !a->missing && i < set.count; i++)
        if (set.all[i]->required && !seen[i]) a->missing = set.all[i]->opt.name;
    free(seen);
    option_set_free(&set);
    return rc;
}

/* ---- Output helpers ----------------------------------------------------------- */

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

static int operands_at_most_one(int argc, char **argv, int quoted_hint) {
    if (argc <= 1) return 0;
    if (quoted_hint)
        usage_error("%s", "give the text as one argument (quote it)");
    else
        usage_error("unexpected argument '%s'", argv[1]);
    return EXIT_USAGE;
}

static int need_output(const cli_args *a) {
    if (a->output) return 0;
    usage_error("%s", "an output file is required (-o FILE)");
    return EXIT_USAGE;
}

static char *read_text_or_fail(int argc, char **argv) {
    char *text = read_text_arg(argc > 0 ? argv[0] : NULL);
    if (!text) fprintf(stderr, "%s: cannot read the text: %s\n", g_cmd, strerror(errno));
    return text;
}

/* Whether an output name's extension, if it has one, is `.png` or, when
 * `svg_too`, `.svg` (any case); a name without one is written as PNG. */
static int extension_known(const char *path, int svg_too) {
    const char *base = strrchr(path, '/');
    base = base ? base + 1 : path;
    const char *dot = strrchr(base, '.');
    if (!dot || dot == base) return 1;
    return strcasecmp(dot, ".png") == 0 || (svg_too && strcasecmp(dot, ".svg") == 0);
}

static int out_of_memory(void) {
    fprintf(stderr, "%s: out of memory\n", g_cmd);
    return EXIT_FAILURE;
}

/* Writes bytes to the output file, or to standard output for '-'. */
static int write_output(const char *output, const void *data, size_t len) {
    if (strcmp(output, "-") == 0) return write_stdout(data, len);
    FILE *f = fopen(output, "wb");
    int ok = f && fwrite(data, 1, len, f) == len;
    if (f && fclose(f) != 0) ok = 0;
    if (ok) return 0;
    fprintf(stderr, "%s: %s: cannot write: %s\n", g_cmd, output, strerror(errno));
    return EXIT_FAILURE;
}

/* A fresh temporary file name ending in .png (the file exists, empty). */
static int temp_png_path(char *path, size_t cap) {
    const char *tmp = getenv("TMPDIR");
    snprintf(path, cap, "%s/vqr-XXXXXX.png", tmp && *tmp ? tmp : "/tmp");
    int fd = mkstemps(path, 4);
    if (fd < 0) return -1;
    close(fd);
    /* Removed on a signal, with the library's own temporary files beside it. */
    cleanup_scratch_file(path);
    cleanup_watch_folder_of(path);
    return 0;
}

/* ---- Print size ----------------------------------------------------------------- */

/* The code has a physical size once --dpi or a --size in mm, cm or in is
 * given; lengths are then taken at --dpi, or at 300 dpi without it. */
static int has_physical_size(const cli_args *a) {
    return a->dpi || (a->size.value > 0 && a->size.unit != UNIT_PX);
}

static int print_dpi(const cli_args *a) { return a->dpi ? a->dpi : DEFAULT_DPI; }

/* Phone cameras at arm's length need modules of about 0.4 mm and a symbol
 * of about 15 mm; smaller codes are still written, with a warning. */
static void warn_if_too_small(const cli_args *a, int modules) {
    double module_mm = print_px_in(a->module_size, print_dpi(a), UNIT_MM);
    if (module_mm < 0.4)
        fprintf(stderr,
                "%s: warning: modules of %.2f mm are below 0.4 mm; a phone camera at arm's "
                "length may not resolve them\n",
                g_cmd, module_mm);
    if (module_mm * modules < 15.0)
        fprintf(stderr,
                "%s: warning: the code is %.1f mm wide without its quiet zone, below 15 mm; "
                "a phone camera at arm's length may not read it\n",
                g_cmd, module_mm * modules);
}

/* Chooses the module size for --size (`across` modules, quiet zone
 * included, at module size 1) and warns about codes too small to scan. */
static int plan_print_size(cli_args *a, long across, int quiet) {
    if (across < 21) {
        fprintf(stderr, "%s: cannot measure the code\n", g_cmd);
        return EXIT_FAILURE;
    }
    int dpi = print_dpi(a);
    if (a->size.value > 0) {
        int m = print_module_px(&a->size, dpi, (int)across);
        if (m < 1) {
            usage_error("--size %g%s is too small for %ld modules at %d dpi", a->size.value,
                        print_unit_name(a->size.unit), across, dpi);
            return EXIT_USAGE;
        }
        a->module_size = m;
        if (a->verbose)
            fprintf(stderr,
                    "%s: %d px per module: %ld modules across (quiet zone %d) in %g%s at %d "
                    "dpi make %ld px (%.2f mm)\n",
                    g_cmd, m, across, quiet, a->size.value, print_unit_name(a->size.unit), dpi,
                    across * m, print_px_in((double)(across * m), dpi, UNIT_MM));
    }
    if (has_physical_size(a)) warn_if_too_small(a, (int)across - 2 * quiet);
    return 0;
}

/* ---- encode ------------------------------------------------------------------- */

/* The code's side in modules, quiet zone included, in the current style. */
static long modules_across(const cli_args *a, const char *text) {
    int len = 0;
    unsigned char *png = qr_encode_to_memory(text, a->level, 1, a->quiet_zone, &len);
    if (!png) return -1;
    long across = png_width(png, (size_t)len);
    qr_free_buffer(png);
    return across;
}

/* The code with its print size recorded: an SVG's width and height in the
 * unit of --size (mm for --dpi alone), a PNG's resolution in a pHYs chunk. */
static int write_print_code(const cli_args *a, const char *text, int svg) {
    int level = a->level, size = a->module_size, quiet = a->quiet_zone;
    int rc;
    if (svg) {
        const char *doc = qr_encode_to_svg_string(text, level, size, quiet);
        if (!doc) return library_error(NULL);
        const char *box = strstr(doc, "viewBox=\"0 0 ");
        long side = 0;
        print_unit unit = a->size.value > 0 && a->size.unit != UNIT_PX ? a->size.unit : UNIT_MM;
        char *sized = box && sscanf(box, "viewBox=\"0 0 %ld", &side) == 1
                          ? svg_with_size(doc, print_px_in((double)side, print_dpi(a), unit), unit)
                          : NULL;
        rc = sized ? write_output(a->output, sized, strlen(sized)) : out_of_memory();
        free(sized);
    } else {
        int len = 0;
        size_t with_len = 0;
        unsigned char *png = qr_encode_to_memory(text, level, size, quiet, &len);
        if (!png) return library_error(NULL);
        unsigned char *with = png_with_dpi(png, (size_t)len, a->dpi, &with_len);
        rc = with ? write_output(a->output, with, with_len) : out_of_memory();
        free(with);
        qr_free_buffer(png);
    }
    return rc;
}

/* Draws the code on standard output in the plain look (a terminal shows
 * only dark and light) at the asked level and quiet zone. */
static int draw_in_terminal(const cli_args *a, const char *text) {
    qr_reset_style();
    qr_set_logo(NULL, 0.0f, 0);
    const char *doc = qr_encode_to_svg_string(text, a->level, 1, a->quiet_zone);
    if (!doc) return library_error(NULL);
    if (terminal_draw(stdout, doc, a->invert) != 0 || fflush(stdout) != 0) {
        fprintf(stderr, "%s: cannot draw the code on standard output\n", g_cmd);
        return EXIT_FAILURE;
    }
    return 0;
}

static int write_code(const cli_args *a, const char *text, int svg) {
    if (svg ? has_physical_size(a) : a->dpi != 0) return write_print_code(a, text, svg);
    int level = a->level, size = a->module_size, quiet = a->quiet_zone;
    int to_stdout = strcmp(a->output, "-") == 0;
    if (svg && to_stdout) {
        const char *doc = qr_encode_to_svg_string(text, level, size, quiet);
        return doc ? write_stdout(doc, strlen(doc)) : library_error(NULL);
    }
    if (svg)
        return qr_encode_to_svg_file(text, a->output, level, size, quiet) == 1
                   ? 0
                   : library_error(a->output);
    if (to_stdout) {
        int len = 0;
        unsigned char *png = qr_encode_to_memory(text, level, size, quiet, &len);
        int rc = png ? write_stdout(png, (size_t)len) : library_error(NULL);
        qr_free_buffer(png);
        return rc;
    }
    return qr_encode_to_file(text, a->output, level, size, quiet) == 1 ? 0
                                                                       : library_error(a->output);
}

/* ---- Grade reports ------------------------------------------------------------ */

/* The library's grade report is a flat JSON object whose top-level fields
 * come before its "parameters" list; the tool reads the few it prints. */

/* Unescapes the JSON string starting at `p` (after its opening quote) into
 * `out`; returns a pointer past the closing quote. \u escapes outside ASCII
 * become '?', which only the printed text can hold. */
static const char *json_unescape(const char *p, char *out, size_t cap) {
    size_t n = 0;
    while (*p && *p != '"') {
        char c = *p++;
        if (c == '\\' && *p) {
            c = *p++;
            if (c == 'u') {
                unsigned v = 0;
                for (int i = 0; i < 4 && *p; i++, p++)
                    v = v * 16 + (unsigned)(*p <= '9' ? *p - '0' : (*p | 32) - 'a' + 10);
                c = v < 0x80 ? (char)v : '?';
            } else if (c == 'n') {
                c = '\n';
            }
        }
        if (n + 1 < cap) out[n++] = c;
    }
    if (cap) out[n] = 0;
    return *p ? p + 1 : p;
}

/* The string value of the first "key" at or after `from` into `out`;
 * returns a pointer past it, or NULL (out empty) when there is none. */
static const char *json_string(const char *from, const char *key, char *out, size_t cap) {
    char pattern[64];
    snprintf(pattern, sizeof pattern, "\"%s\":\"", key);
    const char *p = from ? strstr(from, pattern) : NULL;
    if (cap) out[0] = 0;
    return p ? json_unescape(p + strlen(pattern), out, cap) : NULL;
}

/* The report's grade as a score, 0 (F) .. 4 (A). */
static int report_score(const char *report) {
    char letter[4];
    json_string(report, "grade", letter, sizeof letter);
    for (int i = 0; i < (int)COUNT(GRADE_NAMES); i++)
        if (strcmp(letter, GRADE_NAMES[i]) == 0) return i;
    return 0;
}

/* Reports whether the grade of the written code reaches the default
 * minimum; the report names the weakest parameter and what to change. */
static int check_grade(const char *output, const char *report) {
    if (!report) return library_error(output);
    if (report_score(report) >= DEFAULT_MIN_GRADE) return 0;
    char grade[4], weakest[64], hint[512];
    json_string(report, "grade", grade, sizeof grade);
    json_string(report, "weakest", weakest, sizeof weakest);
    json_string(report, "hint", hint, sizeof hint);
    const char *name = strcmp(output, "-") != 0 ? output : "standard output";
    fprintf(stderr, "%s: %s: verify failed: grade %s (minimum %s), weakest %s: %s\n", g_cmd, name,
            grade, GRADE_NAMES[DEFAULT_MIN_GRADE], weakest, hint);
    return EXIT_FAILURE;
}

/* Grades the exact pixels written; an SVG document, or a code gone to
 * standard output, is graded through the PNG of the same look, made in
 * memory. */
static int verify_code(const cli_args *a, const char *text, int svg) {
    if (!svg && strcmp(a->output, "-") != 0)
        return check_grade(a->output, qr_grade_from_file(a->output, text));
    int len = 0;
    unsigned char *png = qr_encode_to_memory(text, a->level, a->module_size, a->quiet_zone, &len);
    if (!png) return library_error(NULL);
    int rc = check_grade(a->output, qr_grade_from_memory(png, len, text));
    qr_free_buffer(png);
    return rc;
}

static int run_encode(const command *c, cli_args *a, int argc, char **argv) {
    (void)c;
    int rc = a->terminal ? 0 : need_output(a);
    if (rc == 0) rc = operands_at_most_one(argc, argv, 1);
    if (rc == 0 && a->output && a->format < 0 && !extension_known(a->output, 1)) {
        usage_error(
            "cannot tell the format of '%s': name a .png or .svg file, or choose "
            "PNG or SVG with -f png|svg",
            a->output);
        rc = EXIT_USAGE;
    }
    if (rc != 0) return rc;
    int svg = a->format >= 0 ? a->format : a->output && ends_with_svg(a->output);
    int to_stdout = a->output && strcmp(a->output, "-") == 0;
    /* A PNG is binary: on a terminal it is drawn instead. */
    int draw = a->terminal || (to_stdout && !svg && isatty(STDOUT_FILENO));
    int writes = a->output && !(draw && to_stdout);
    char *text = read_text_or_fail(argc, argv);
    if (!text) return EXIT_FAILURE;
    if (a->output && strcmp(a->output, "-") != 0) cleanup_watch_folder_of(a->output);
    rc = apply_style(&a->style);
    if (rc == 0 && (a->size.value > 0 || has_physical_size(a))) {
        long across = modules_across(a, text);
        rc = across < 0 ? library_error(NULL) : plan_print_size(a, across, a->quiet_zone);
    }
    if (rc == 0 && writes) rc = write_code(a, text, svg);
    if (rc == 0 && writes && a->verbose && !to_stdout)
        fprintf(stderr, "%s: wrote %s\n", g_cmd, a->output);
    if (rc == 0 && writes && a->verify) rc = verify_code(a, text, svg);
    if (rc == 0 && draw) rc = draw_in_terminal(a, text);
    free(text);
    qr_cleanup();
    return rc;
}

/* ---- decode ------------------------------------------------------------------- */

/* The text of the code in one image ('-': standard input), or NULL after
 * saying why there is none. */
static const char *decode_one(const char *path) {
    const char *text;
    if (strcmp(path, "-") == 0) {
        size_t len = 0;
        unsigned char *data = read_stream(stdin, &len);
        if (!data || len > (size_t)0x7fffffff) {
            fprintf(stderr, "%s: cannot read standard input\n", g_cmd);
            free(data);
            return NULL;
        }
        text = qr_decode_from_memory(data, (int)len);
        free(data);
    } else {
        text = qr_decode_from_file(path);
    }
    if (text && *text) return text;
    library_error(path);
    return NULL;
}

static int run_decode(const command *c, cli_args *a, int argc, char **argv) {
    (void)c;
    (void)a;
    if (argc == 0) {
        usage_error("%s", "name at least one image file ('-' for standard input)");
        return EXIT_USAGE;
    }
    int rc = EXIT_SUCCESS;
    for (int i = 0; i < argc; i++) {
        const char *text = decode_one(argv[i]);
        if (!text) {
            rc = EXIT_FAILURE;
            continue;
        }
        if (argc > 1) printf("%s: ", argv[i]);
        printf("%s\n", text);
    }
    if (fflush(stdout) != 0) rc = EXIT_FAILURE;
    return rc;
}

/* ---- Payload commands ---------------------------------------------------------- */

/* Appends `s` with a backslash before each of \\ ; , " : (the escapes of
 * the Wi-Fi text); `out` has room for every byte doubled. */
static char *wifi_escape(char *out, const char *s) {
    for (; *s; s++) {
        if (strchr("\\;,\":", *s)) *out++ = '\\';
        *out++ = *s;
    }
    return out;
}

/* The library's Wi-Fi text has no hidden-network field, so a hidden
 * network's text is made here, with the library's escapes. H:true comes
 * before P: as in the published order of the fields. */
static char *hidden_wifi_text(const cli_args *a, const char *security) {
    const char *password = a->field[1] ? a->field[1] : "";
    char *text = malloc(2 * (strlen(a->field[0]) + strlen(password)) + 64);
    if (!text) return NULL;
    char *end = stpcpy(stpcpy(text, "WIFI:T:"), security);
    end = wifi_escape(stpcpy(end, ";S:"), a->field[0]);
    end = stpcpy(end, ";H:true");
    if (*password) end = wifi_escape(stpcpy(end, ";P:"), password);
    strcpy(end, ";;");
    return text;
}

/* A hidden network's code, with the payload encoders' settings (level Q,
 * quiet zone 2). */
static int write_hidden_wifi(const cli_args *a, const char *security) {
    char *text = hidden_wifi_text(a, security);
    if (!text) return -1;
    int rc = qr_encode_to_file(text, a->output, 2, a->module_size, 2);
    free(text);
    return rc;
}

static int write_wifi(const cli_args *a) {
    const char *security = SECURITY_WRITTEN[a->security];
    if (a->hidden) return write_hidden_wifi(a, security);
    return qr_encode_wifi(a->field[0], a->field[1], security, a->output, a->module_size);
}
static int write_vcard(const cli_args *a) {
    return qr_encode_vcard(a->field[0], a->field[1], a->field[2], a->output, a->module_size);
}
static int write_email(const cli_args *a) {
    return qr_encode_email(a->field[0], a->field[1], a->field[2], a->output, a->module_size);
}
static int write_sms(const cli_args *a) {
    return qr_encode_sms(a->field[0], a->field[1], a->output, a->module_size);
}
static int write_geo(const cli_args *a) {
    return qr_encode_geo(a->lat, a->lon, a->output, a->module_size);
}
static int write_event(const cli_args *a) {
    return qr_encode_event(a->field[0], a->field[1], a->field[2], a->field[3], a->output,
                           a->module_size);
}

/* The payload texts the writers above encode, as copies the caller frees;
 * NULL when the library refuses the values (qr_last_error says why). */
static char *copy_text(const char *text) { return text ? strdup(text) : NULL; }
static char *wifi_text(const cli_args *a) {
    const char *security = SECURITY_WRITTEN[a->security];
    if (a->hidden) return hidden_wifi_text(a, security);
    return copy_text(qr_text_wifi(a->field[0], a->field[1], security));
}
static char *vcard_text(const cli_args *a) {
    return copy_text(qr_text_vcard(a->field[0], a->field[1], a->field[2]));
}
static char *email_text(const cli_args *a) {
    return copy_text(qr_text_email(a->field[0], a->field[1], a->field[2]));
}
static char *sms_text(const cli_args *a) {
    return copy_text(qr_text_sms(a->field[0], a->field[1]));
}
static char *geo_text(const cli_args *a) { return copy_text(qr_text_geo(a->lat, a->lon)); }
static char *event_text(const cli_args *a) {
    return copy_text(qr_text_event(a->field[0], a->field[1], a->field[2], a->field[3]));
}

/* The library's messages for payload values it refuses, in words about the
 * options. */
static const struct {
    const char *library, *plain;
} PAYLOAD_REFUSALS[] = {
    {"qr_build_wifi: payload too long", "--ssid, --password: too long for a Wi-Fi code"},
    {"qr_build_vcard: line break in phone or email",
     "--phone, --email: a line break is not allowed here"},
    {"qr_build_vcard: payload too long", "--name, --phone, --email: too long for a contact code"},
    {"qr_build_email: bad args (to required)", "--to: an address is required"},
    {"qr_build_email: payload too long", "--to, --subject, --body: too long for an e-mail code"},
    {"qr_build_sms: bad args (phone required)", "--phone: a number needs at least one digit"},
    {"qr_build_sms: payload too long", "--phone, --message: too long for a text-message code"},
    {"qr_build_geo: lat/lon out of range",
     "--lat, --lon: out of range (latitude -90..90, longitude -180..180)"},
    {"qr_build_event: bad start timestamp (need ISO 8601)",
     "--start: not a date or date-time such as 2024-05-01T10:30:00Z"},
    {"qr_build_event: bad end timestamp (need ISO 8601)",
     "--end: not a date or date-time such as 2024-05-01T11:30:00Z"},
    {"qr_build_event: end before start", "--end: before --start"},
    {"qr_build_event: bad SOURCE_DATE_EPOCH (need seconds since 1970)",
     "SOURCE_DATE_EPOCH: not a whole number of seconds since 1970 (up to the year 9999)"},
    {"qr_build_event: payload too long", "--title, --location: too long for an event code"},
    {"qr_encode: text too long to fit in any QR version (max 40)",
     "the payload is too long for a QR code at level Q; shorten the texts"},
};

/* Reports a failed payload: a refused value in words about the options
 * (with -v the library's own message too) and exit 2; anything else (the
 * output file, memory) with the library's message and exit 1. */
static int payload_error(const cli_args *a) {
    const char *message = qr_last_error();
    for (size_t i = 0; i < COUNT(PAYLOAD_REFUSALS); i++) {
        if (strcmp(message, PAYLOAD_REFUSALS[i].library) != 0) continue;
        if (a->verbose)
            usage_error("%s\n%s: the library said: %s", PAYLOAD_REFUSALS[i].plain, g_cmd, message);
        else
            usage_error("%s", PAYLOAD_REFUSALS[i].plain);
        return EXIT_USAGE;
    }
    return library_error(a->output);
}

static int verify_payload(const command *c, const cli_args *a) {
    char *expected = c->payload_text(a);
    if (!expected) {
        fprintf(stderr, "%s: %s: verify failed: no reference text to compare with (%s)\n", g_cmd,
                a->output, qr_last_error());
        return EXIT_FAILURE;
    }
    int rc = check_grade(a->output, qr_grade_from_file(a->output, expected));
    free(expected);
    return rc;
}

/* The library builds the payload text, so the code's side in modules is
 * learnt from the payload written at module size 1 to a temporary file. */
static long payload_modules_across(const command *c, const cli_args *a) {
    char path[4096];
    if (temp_png_path(path, sizeof path) != 0) return -1;
    cli_args probe = *a;
    probe.output = path;
    probe.module_size = 1;
    size_t len = 0;
    unsigned char *png = c->write_payload(&probe) == 1 ? read_input(path, &len) : NULL;
    long across = png ? png_width(png, len) : -1;
    free(png);
    unlink(path);
    cleanup_scratch_file(NULL);
    return across;
}

/* Rewrites the payload's PNG file with its resolution recorded. */
static int record_payload_dpi(const cli_args *a) {
    size_t len = 0, with_len = 0;
    unsigned char *png = read_input(a->output, &len);
    unsigned char *with = png ? png_with_dpi(png, len, a->dpi, &with_len) : NULL;
    int rc = with ? write_output(a->output, with, with_len) : EXIT_FAILURE;
    if (!with) fprintf(stderr, "%s: %s: cannot record the resolution\n", g_cmd, a->output);
    free(with);
    free(png);
    return rc;
}

static int run_payload(const command *c, cli_args *a, int argc, char **argv) {
    if (argc > 0) {
        usage_error("unexpected argument '%s'", argv[0]);
        return EXIT_USAGE;
    }
    int rc = need_output(a);
    if (rc != 0) return rc;
    if (!extension_known(a->output, 0)) {
        usage_error("%s", "payload codes are written as PNG; name a .png file");
        return EXIT_USAGE;
    }
    if (a->missing) {
        usage_error("--%s is required", a->missing);
        return EXIT_USAGE;
    }
    rc = apply_style(&a->style);
    if (rc != 0) return rc;
    cleanup_watch_folder_of(a->output);
    if (a->size.value > 0 || has_physical_size(a)) {
        long across = payload_modules_across(c, a);
        rc = across < 0 ? payload_error(a) : plan_print_size(a, across, PAYLOAD_QUIET);
        if (rc != 0) return rc;
    }
    rc = c->write_payload(a) == 1 ? EXIT_SUCCESS : payload_error(a);
    if (rc == 0 && a->dpi) rc = record_payload_dpi(a);
    if (rc == 0 && a->verbose) fprintf(stderr, "%s: wrote %s\n", g_cmd, a->output);
    if (rc == 0 && a->verify) rc = verify_payload(c, a);
    qr_cleanup();
    return rc;
}

/* ---- check -------------------------------------------------------------------- */

/* The grade report of one image ('-': standard input), or NULL after saying
 * why there is none. */
static const char *grade_one(const char *path) {
    const char *report;
    if (strcmp(path, "-") == 0) {
        size_t len = 0;
        unsigned char *data = read_stream(stdin, &len);
        if (!data || len > (size_t)0x7fffffff) {
            fprintf(stderr, "%s: cannot read standard input\n", g_cmd);
            free(data);
            return NULL;
        }
        report = qr_grade_from_memory(data, (int)len, NULL);
        free(data);
    } else {
        report = qr_grade_from_file(path, NULL);
    }
    if (!report) library_error(path);
    return report;
}

static void print_json_string(const char *s) {
    putchar('"');
    for (const unsigned char *p = (const unsigned char *)s; *p; p++) {
        if (*p == '"' || *p == '\\')
            printf("\\%c", *p);
        else if (*p < 0x20)
            printf("\\u%04x", *p);
        else
            putchar(*p);
    }
    putchar('"');
}

/* One line per parameter, worst grade first. */
static void print_report(const char *path, const char *report) {
    char grade[4], text[256], name[64], letter[4], hint[512];
    json_string(report, "grade", grade, sizeof grade);
    printf("%s: grade %s", path, grade);
    if (json_string(report, "text", text, sizeof text) && *text) printf(" (reads \"%s\")", text);
    putchar('\n');
    const char *list = strstr(report, "\"parameters\":[");
    for (int score = 0; score < (int)COUNT(GRADE_NAMES); score++) {
        for (const char *p = list; (p = json_string(p, "name", name, sizeof name));) {
            p = json_string(p, "grade", letter, sizeof letter);
            p = json_string(p, "hint", hint, sizeof hint);
            if (strcmp(letter, GRADE_NAMES[score]) == 0)
                printf("  %s %-24s %s\n", letter, name, hint);
        }
    }
}

static int run_check(const command *c, cli_args *a, int argc, char **argv) {
    (void)c;
    if (argc == 0) {
        usage_error("%s", "name at least one image file ('-' for standard input)");
        return EXIT_USAGE;
    }
    int rc = EXIT_SUCCESS;
    for (int i = 0; i < argc; i++) {
        const char *report = grade_one(argv[i]);
        if (!report) {
            rc = EXIT_FAILURE;
            continue;
        }
        if (a->json) {
            fputs("{\"file\":", stdout);
            print_json_string(argv[i]);
            printf(",\"report\":%s}\n", report);
        } else {
            print_report(argv[i], report);
        }
        if (report_score(report) < a->min_grade) rc = EXIT_FAILURE;
    }
    if (fflush(stdout) != 0) rc = EXIT_FAILURE;
    return rc;
}

/* ---- batch -------------------------------------------------------------------- */

static int report_batch(const batch_plan *plan, const batch_job *job, int verbose) {
    batch_outcome out;
    if (batch_plan_run(plan, job, &out) != 0) {
        fprintf(stderr, "%s: cannot start the workers: %s\n", g_cmd, strerror(errno));
        return EXIT_FAILURE;
    }
    if (out.failed) {
        fprintf(stderr, "%s: %zu of %zu items failed; %zu written to %s\n", g_cmd, out.failed,
                out.failed + out.written, out.written, job->dir);
        return EXIT_FAILURE;
    }
    if (!verbose) return EXIT_SUCCESS;
    fprintf(stderr, "%s: wrote %zu code%s to %s (", g_cmd, out.written, out.written == 1 ? "" : "s",
            job->dir);
    if (job->shard_count > 1)
        fprintf(stderr, "shard %d/%d of %zu items, ", job->shard_index, job->shard_count,
                plan->count);
    fprintf(stderr, "%d worker%s, %.1f s)\n", plan->workers, plan->workers == 1 ? "" : "s",
            out.seconds);
    return EXIT_SUCCESS;
}

/* Says plainly what is wrong with a batch's output folder, before any item
 * fails for it with the library's general "cannot open" message. */
static int check_output_folder(const char *dir) {
    struct stat st;
    errno = 0;
    if (stat(dir, &st) == 0 && S_ISDIR(st.st_mode)) return 0;
    if (errno == ENOENT)
        fprintf(stderr, "%s: the output folder '%s' does not exist; create it first\n", g_cmd, dir);
    else if (errno == 0 || errno == ENOTDIR)
        fprintf(stderr, "%s: '%s' is not a folder\n", g_cmd, dir);
    else
        fprintf(stderr, "%s: cannot use the output folder %s: %s\n", g_cmd, dir, strerror(errno));
    return EXIT_FAILURE;
}

static int run_batch(const command *c, cli_args *a, int argc, char **argv) {
    (void)c;
    if (!a->dir) {
        usage_error("%s", "an output directory is required (-d DIR)");
        return EXIT_USAGE;
    }
    if (!*a->dir) {
        usage_error("%s", "-d/--directory is empty; name the folder the codes go to");
        return EXIT_USAGE;
    }
    int rc = operands_at_most_one(argc, argv, 0);
    if (rc == 0) rc = check_output_folder(a->dir);
    if (rc != 0) return rc;
    cleanup_watch_folder(a->dir);
    const char *src = argc > 0 ? argv[0] : "-";
    size_t len = 0;
    char *json = (char *)read_input(src, &len);
    if (!json) {
        fprintf(stderr, "%s: cannot read %s: %s\n", g_cmd,
                strcmp(src, "-") ? src : "standard input", strerror(errno));
        return EXIT_FAILURE;
    }
    batch_job job = {a->dir,      a->level,    a->module_size,        a->quiet_zone, a->jobs,
                     a->shard[0], a->shard[1], isatty(STDERR_FILENO), g_cmd};
    batch_plan plan;
    qr_init();
    int planned = batch_plan_make(json, &job, &plan);
    if (planned == -1) {
        rc = library_error(NULL);
    } else if (planned != 0) {
        fprintf(stderr, "%s: cannot plan the batch: %s\n", g_cmd, strerror(errno));
        rc = EXIT_FAILURE;
    }
    if (rc == 0) rc = apply_style(&a->style);
    if (rc == 0) rc = report_batch(&plan, &job, a->verbose);
    batch_plan_free(&plan);
    free(json);
    qr_cleanup();
    return rc;
}

/* ---- version ------------------------------------------------------------------ */

static int run_version(const command *c, cli_args *a, int argc, char **argv) {
    (void)c;
    int rc = operands_at_most_one(argc, argv, 1);
    if (rc != 0) return rc;
    char *text = read_text_or_fail(argc, argv);
    if (!text) return EXIT_FAILURE;
    int v = qr_get_version(text, a->level);
    free(text);
    if (v <= 0) {
        fprintf(stderr, "%s: the text does not fit in any QR version (max 40) at this level\n",
                g_cmd);
        return EXIT_FAILURE;
    }
    printf("%d\n", v);
    return fflush(stdout) == 0 ? EXIT_SUCCESS : EXIT_FAILURE;
}

/* ---- The command table ---------------------------------------------------------- */

static const cli_option OUTPUT_CODE = {VALUE("output", 'o', VAL_TEXT, output), .arg = "FILE",
                                       .help = "PNG or SVG file; '-' writes to standard output"};
static const cli_option FORMAT = {VALUE("format", 'f', VAL_NAME, format), .arg = "png|svg",
                                  .help = "default: from the output's extension (.svg), else PNG",
                                  .names = &FORMATS};
static const cli_option VERIFY_CODE = {SWITCH("verify", 0, VAL_FLAG, verify), .arg = "",
                                       .help =
                                           "grade the code as 'vqr check' does; exit 1 unless\n"
                                           "it reads back as the text at grade C or better (an\n"
                                           "SVG or '-' output is graded through the PNG of the\n"
                                           "same look, made in memory)"};
static const cli_option TERMINAL = {SWITCH("terminal", 't', VAL_FLAG, terminal), .arg = "",
                                    .help =
                                        "draw the code on standard output with Unicode half\n"
                                        "blocks (so does '-o -' to a terminal); -o is then\n"
                                        "optional, and the plain look is drawn"};
static const cli_option INVERT = {SWITCH("invert", 0, VAL_FLAG, invert), .arg = "",
                                  .help =
                                      "for light text on a dark terminal: draw the light\n"
                                      "modules as blocks"};
static const cli_option *const ENCODE_OPTIONS[] = {
    &OUTPUT_CODE, &FORMAT,   &LEVEL,  &MODULE_SIZE,  &QUIET_ZONE,  &SIZE,
    &DPI,         &TERMINAL, &INVERT, &VERBOSE_FILE, &VERIFY_CODE, &HELP};

static const cli_option *const DECODE_OPTIONS[] = {&HELP};
static const cli_option JSON = {SWITCH("json", 0, VAL_FLAG, json), .arg = "",
                                .help = "one JSON object per image: {\"file\", \"report\"}"};
static const cli_option MIN_GRADE = {VALUE("min-grade", 0, VAL_NAME, min_grade), .arg = "A-F",
                                     .help = "lowest grade that passes (default C)",
                                     .names = &GRADES};
static const cli_option *const CHECK_OPTIONS[] = {&JSON, &MIN_GRADE, &HELP};
static const cli_option *const VERSION_OPTIONS[] = {&LEVEL, &HELP};

static const cli_option DIRECTORY = {VALUE("directory", 'd', VAL_TEXT, dir), .arg = "DIR",
                                     .help = "where the files go (must exist)"};
static const cli_option VERBOSE_COUNT = {SWITCH("verbose", 'v', VAL_FLAG, verbose), .arg = "",
                                         .help = "print how many codes were written"};
static const cli_option JOBS = {VALUE("jobs", 'j', VAL_INT, jobs), .arg = "N",
                                .help = "worker processes (default: one per core)", .lo = 1,
                                .hi = 1024};
static const cli_option SHARD = {VALUE("shard", 0, VAL_SHARD, shard), .arg = "K/N",
                                 .help =
                                     "take only the items whose index is K modulo N\n"
                                     "(0 <= K < N), e.g. one shard per machine"};
static const cli_option *const BATCH_OPTIONS[] = {&DIRECTORY, &LEVEL, &MODULE_SIZE,   &QUIET_ZONE,
                                                  &JOBS,      &SHARD, &VERBOSE_COUNT, &HELP};

/* A payload's own options are named in its usage line, not in the list. */
#define PAYLOAD_TEXT(name, slot, is_required) \
    { VALUE(name, 0, VAL_TEXT, field[slot]), .required = is_required }
#define PAYLOAD_REAL(name, member) \
    { VALUE(name, 0, VAL_REAL, member), .required = 1 }

static const cli_option OUTPUT_PNG = {VALUE("output", 'o', VAL_TEXT, output), .arg = "FILE",
                                      .help = "PNG file to write (required)"};
static const cli_option SSID = PAYLOAD_TEXT("ssid", 0, 1);
static const cli_option PASSWORD = PAYLOAD_TEXT("password", 1, 0);
static const cli_option SECURITY = {VALUE("security", 0, VAL_NAME, security), .names = &SECURITIES};
static const cli_option HIDDEN = {SWITCH("hidden", 0, VAL_FLAG, hidden)};
static const cli_option NAME = PAYLOAD_TEXT("name", 0, 1);
static const cli_option VCARD_PHONE = PAYLOAD_TEXT("phone", 1, 0);
static const cli_option VCARD_EMAIL = PAYLOAD_TEXT("email", 2, 0);
static const cli_option TO = PAYLOAD_TEXT("to", 0, 1);
static const cli_option SUBJECT = PAYLOAD_TEXT("subject", 1, 0);
static const cli_option BODY = PAYLOAD_TEXT("body", 2, 0);
static const cli_option SMS_PHONE = PAYLOAD_TEXT("phone", 0, 1);
static const cli_option MESSAGE = PAYLOAD_TEXT("message", 1, 0);
static const cli_option LAT = PAYLOAD_REAL("lat", lat);
static const cli_option LON = PAYLOAD_REAL("lon", lon);
static const cli_option TITLE = PAYLOAD_TEXT("title", 0, 1);
static const cli_option START = PAYLOAD_TEXT("start", 1, 1);
static const cli_option END = PAYLOAD_TEXT("end", 2, 0);
static const cli_option LOCATION = PAYLOAD_TEXT("location", 3, 0);

static const cli_option VERIFY_PAYLOAD = {SWITCH("verify", 0, VAL_FLAG, verify), .arg = "",
                                          .help =
                                              "grade the code as 'vqr check' does; exit 1 unless\n"
                                              "it reads back as the payload at grade C or better"};

static const cli_option VERBOSE_PAYLOAD = {SWITCH("verbose", 'v', VAL_FLAG, verbose), .arg = "",
                                           .help =
                                               "name the file written; when a value is refused,\n"
                                               "also show the library's own message"};

#define PAYLOAD_COMMON \
    &OUTPUT_PNG, &MODULE_SIZE, &SIZE, &DPI, &VERBOSE_PAYLOAD, &VERIFY_PAYLOAD, &HELP
static const cli_option *const WIFI_OPTIONS[] = {PAYLOAD_COMMON, &SSID, &PASSWORD, &SECURITY,
                                                 &HIDDEN};
static const cli_option *const VCARD_OPTIONS[] = {PAYLOAD_COMMON, &NAME, &VCARD_PHONE,
                                                  &VCARD_EMAIL};
static const cli_option *const EMAIL_OPTIONS[] = {PAYLOAD_COMMON, &TO, &SUBJECT, &BODY};
static const cli_option *const SMS_OPTIONS[] = {PAYLOAD_COMMON, &SMS_PHONE, &MESSAGE};
static const cli_option *const GEO_OPTIONS[] = {PAYLOAD_COMMON, &LAT, &LON};
static const cli_option *const EVENT_OPTIONS[] = {PAYLOAD_COMMON, &TITLE, &START, &END, &LOCATION};

#define OPTIONS(list) list, COUNT(list)
#define PAYLOAD_TRAILER "The code is written at level Q with a quiet zone of 2 modules.\n\n"
#define PAYLOAD(list, kind) \
    OPTIONS(list), PAYLOAD_TRAILER, 1, run_payload, write_##kind, kind##_text

static const command COMMANDS[] = {
    {"encode", "write a text as a PNG or SVG code",
     "Usage: vqr encode [OPTIONS] -o FILE [TEXT]\n"
     "Write TEXT (or standard input, less one trailing line end) as a QR code.\n\n",
     OPTIONS(ENCODE_OPTIONS), "\n", 1, run_encode, NULL, NULL},
    {"decode", "print the text of the QR code in images",
     "Usage: vqr decode FILE...\n"
     "Print the text of the first QR code in each image (PNG, JPEG, BMP, GIF, TGA,\n"
     "PSD, HDR, PIC, PNM). '-' reads the image from standard input. With more than\n"
     "one file each line starts with the file name. Exits with 1 when any image\n"
     "holds no readable code.\n\n",
     OPTIONS(DECODE_OPTIONS), "", 0, run_decode, NULL, NULL},
    {"check", "grade how well codes will scan once printed",
     "Usage: vqr check [--json] [--min-grade A-F] FILE...\n"
     "Grade the QR code in each image A (best) to F the way a print verifier\n"
     "does: a plain decode, contrast, modulation, fixed patterns, grid, unused\n"
     "error correction and quiet zone, each with what to change. '-' reads the\n"
     "image from standard input. Exits with 1 when any image grades below the\n"
     "minimum (or cannot be read).\n\n",
     OPTIONS(CHECK_OPTIONS), "", 0, run_check, NULL, NULL},
    {"wifi", "Wi-Fi network code",
     "Usage: vqr wifi --ssid NAME [--password SECRET] [--security TYPE] [--hidden] -o FILE\n"
     "Write a Wi-Fi network code (WIFI:T:...;S:...;P:...;;). TYPE is WPA (the default),\n"
     "WPA2 or WPA3 (all written as WPA, which readers take for any of them), WEP, or\n"
     "nopass (or none) for an open network; --hidden marks a network that does not\n"
     "announce its name (H:true).\n\n",
     PAYLOAD(WIFI_OPTIONS, wifi)},
    {"vcard", "contact card code",
     "Usage: vqr vcard --name 'GIVEN FAMILY' [--phone NUMBER] [--email ADDRESS] -o FILE\n"
     "Write a vCard 3.0 contact code.\n\n",
     PAYLOAD(VCARD_OPTIONS, vcard)},
    {"email", "e-mail (mailto:) code",
     "Usage: vqr email --to ADDRESS [--subject TEXT] [--body TEXT] -o FILE\n"
     "Write a mailto: link code.\n\n",
     PAYLOAD(EMAIL_OPTIONS, email)},
    {"sms", "text message (smsto:) code",
     "Usage: vqr sms --phone NUMBER [--message TEXT] -o FILE\n"
     "Write an smsto: code. Only +, - and digits of the number are kept.\n\n",
     PAYLOAD(SMS_OPTIONS, sms)},
    {"geo", "geographic position code",
     "Usage: vqr geo --lat DEGREES --lon DEGREES -o FILE\n"
     "Write a geo: position code (latitude -90..90, longitude -180..180).\n\n",
     PAYLOAD(GEO_OPTIONS, geo)},
    {"event", "calendar event code",
     "Usage: vqr event --title TEXT --start WHEN [--end WHEN] [--location TEXT] -o FILE\n"
     "Write a one-event iCalendar code. WHEN is ISO 8601: a date (2024-05-01), a\n"
     "local time (2024-05-01T10:30, 2024-05-01 10:30:00) or a time in UTC\n"
     "(2024-05-01T10:30:00Z) or with an offset (2024-05-01T10:30+02:00, written in\n"
     "UTC). With SOURCE_DATE_EPOCH set (seconds since 1970), the code's time stamp\n"
     "comes from it instead of the clock, so the same options give the same code.\n\n",
     PAYLOAD(EVENT_OPTIONS, event)},
    {"batch", "one code per item of a JSON array",
     "Usage: vqr batch -d DIR [OPTIONS] [JSON_FILE]\n"
     "Write one PNG per item of a JSON array [{\"text\": ..., \"filename\": ...}, ...]\n"
     "read from JSON_FILE or standard input, spread over worker processes. Every\n"
     "item is tried: failed items are listed with their index, file and cause, and\n"
     "the exit status is 1 unless all were written. Items that name the same file\n"
     "are written in array order (the last one wins). A progress bar is drawn on\n"
     "standard error when it is a terminal.\n\n",
     OPTIONS(BATCH_OPTIONS), "\n", 1, run_batch, NULL, NULL},
    {"version", "the QR version a text needs",
     "Usage: vqr version [-l L|M|Q|H] [TEXT]\n"
     "Print the QR version (1..40) that TEXT (or standard input, less one trailing\n"
     "line end) needs at the level. Exits with 1 when it does not fit in version 40.\n\n",
     OPTIONS(VERSION_OPTIONS), "", 0, run_version, NULL, NULL},
};

/* ---- main ----------------------------------------------------------------------- */

static const char MAIN_USAGE[] =
    "Usage: vqr COMMAND [OPTIONS]\n"
    "Make styled QR codes (PNG, SVG) and read them back.\n\n";
static const char MAIN_EXAMPLES[] =
    "Examples:\n"
    "  vqr encode -p neon -o code.png 'https://example.org'\n"
    "  vqr encode --module-style disc --ring-style circle -o code.svg 'hello'\n"
    "  vqr decode code.png\n"
    "  vqr check code.png\n"
    "  vqr wifi --ssid Home --password 'secret' -o wifi.png\n";

static void print_main_help(FILE *out) {
    fputs(MAIN_USAGE, out);
    fputs("Commands:\n", out);
    for (size_t i = 0; i < COUNT(COMMANDS); i++)
        fprintf(out, "  %-10s%s\n", COMMANDS[i].name, COMMANDS[i].summary);
    fputs(
        "\n'vqr COMMAND --help' describes each command. 'vqr --version' prints the\n"
        "tool's own version.\n\n",
        out);
    fputs(MAIN_EXAMPLES, out);
}

static const command *find_command(const char *name) {
    for (size_t i = 0; i < COUNT(COMMANDS); i++)
        if (strcmp(name, COMMANDS[i].name) == 0) return &COMMANDS[i];
    return NULL;
}

static int is_one_of(const char *s, const char *const *words, size_t count) {
    for (size_t i = 0; i < count; i++)
        if (strcmp(s, words[i]) == 0) return 1;
    return 0;
}

int main(int argc, char **argv) {
    static const char *const HELP_WORDS[] = {"-h", "--help", "help"};
    if (argc < 2) {
        print_main_help(stderr);
        return EXIT_USAGE;
    }
    const char *name = argv[1];
    if (is_one_of(name, HELP_WORDS, COUNT(HELP_WORDS))) {
        print_main_help(stdout);
        return EXIT_SUCCESS;
    }
    if (strcmp(name, "--version") == 0) {
        printf("vqr %s\n", VQR_TOOL_VERSION);
        return EXIT_SUCCESS;
    }
    cleanup_on_signals();
    const command *c = find_command(name);
    if (!c) {
        usage_error("unknown command '%s'", name);
        return EXIT_USAGE;
    }
    static char prefix[64];
    snprintf(prefix, sizeof prefix, "vqr %s", c->name);
    g_cmd = prefix;
    cli_args a;
    args_defaults(&a);
    int parsed = parse_options(c, argc - 1, argv + 1, &a);
    if (parsed == PARSED_HELP) return EXIT_SUCCESS;
    if (parsed != PARSED) return EXIT_USAGE;
    return c->run(c, &a, argc - 1 - optind, argv + 1 + optind);
}
