/* vqr_manpage FILE: writes vqr's manual page (roff) to FILE.
 *
 * The page is made from the same command and option tables as vqr's
 * --help, compiled in from vqr.c, so the two cannot drift apart. The build
 * runs this program and installs its output.
 */
int vqr_main(int argc, char **argv);
#define main vqr_main
#include "vqr.c"
#undef main

static const char EXIT_STATUS[] =
    "0 success; 1 the library reported a failure, found no code, or a check\n"
    "(--verify, a batch item) failed; 2 the command line was wrong.\n";

static const char BATCH_EXAMPLES[] =
    "  vqr batch -j 4 -d out items.json\n"
    "  parallel vqr batch --shard {}/8 -d out items.json ::: 0 1 2 3 4 5 6 7\n"
    "  vqr batch --shard \"$SLURM_ARRAY_TASK_ID/$SLURM_ARRAY_TASK_COUNT\" -d out items.json\n";

/* Text as roff reads it: backslashes and hyphens escaped, a line that
 * would start with a control character guarded. */
static void roff_text(FILE *out, const char *s) {
    int line_start = 1;
    for (; *s; s++) {
        if (line_start && (*s == '.' || *s == '\'')) fputs("\\&", out);
        if (*s == '\\')
            fputs("\\e", out);
        else if (*s == '-')
            fputs("\\-", out);
        else
            fputc(*s, out);
        line_start = *s == '\n';
    }
}

/* Lines as they stand (no filling), for usage lines and examples. */
static void roff_verbatim(FILE *out, const char *s) {
    fputs(".nf\n", out);
    roff_text(out, s);
    fputs(".fi\n", out);
}

static void roff_option(FILE *out, const cli_option *o) {
    fputs(".TP\n", out);
    if (o->opt.val) fprintf(out, "\\fB\\-%c\\fR, ", o->opt.val);
    fputs("\\fB\\-\\-", out);
    roff_text(out, o->opt.name);
    fputs("\\fR", out);
    if (*o->arg) {
        fputs(" \\fI", out);
        roff_text(out, o->arg);
        fputs("\\fR", out);
    }
    fputc('\n', out);
    roff_text(out, o->help);
    fputc('\n', out);
}

static void roff_command(FILE *out, const command *c) {
    fprintf(out, ".SS %s\n", c->name);
    const char *body = strchr(c->usage, '\n');
    size_t head = strlen("Usage: ");
    char *synopsis = strndup(c->usage + head, (size_t)(body - c->usage) - head + 1);
    roff_verbatim(out, synopsis ? synopsis : "");
    free(synopsis);
    fputs(".PP\n", out);
    roff_text(out, body + 1);
    for (size_t i = 0; i < c->option_count; i++)
        if (c->options[i]->help) roff_option(out, c->options[i]);
    if (*c->trailer && strcmp(c->trailer, "\n") != 0) {
        fputs(".PP\n", out);
        roff_text(out, c->trailer);
    }
}

static void write_page(FILE *out) {
    fprintf(out, ".TH VQR 1 \"\" \"vqr %s\" \"User Commands\"\n", VQR_TOOL_VERSION);
    fputs(".SH NAME\nvqr \\- make styled QR codes (PNG, SVG) and read them back\n", out);
    fputs(".SH SYNOPSIS\n.B vqr\n.I COMMAND\n.RI [ OPTIONS ]\n", out);
    fputs(".SH DESCRIPTION\n", out);
    roff_text(out, strchr(MAIN_USAGE, '\n') + 1);
    roff_text(out,
              "Each command maps onto one call of the library. Nothing is printed on\n"
              "success unless asked; errors go to standard error.\n");
    fputs(".SH COMMANDS\n", out);
    for (size_t i = 0; i < COUNT(COMMANDS); i++) roff_command(out, &COMMANDS[i]);
    fputs(".SH STYLE OPTIONS\n", out);
    roff_text(out,
              "Taken by encode, the payload commands and batch; applied after --preset,\n"
              "so they refine it.\n");
    for (size_t i = 0; i < COUNT(STYLE_OPTIONS); i++)
        if (STYLE_OPTIONS[i].help) roff_option(out, &STYLE_OPTIONS[i]);
    fputs(".SH EXIT STATUS\n", out);
    roff_text(out, EXIT_STATUS);
    fputs(".SH EXAMPLES\n", out);
    roff_verbatim(out, strchr(MAIN_EXAMPLES, '\n') + 1);
    roff_verbatim(out, BATCH_EXAMPLES);
}

int main(int argc, char **argv) {
    if (argc != 2) {
        fputs("usage: vqr_manpage FILE\n", stderr);
        return EXIT_USAGE;
    }
    FILE *out = fopen(argv[1], "w");
    if (!out) {
        perror(argv[1]);
        return EXIT_FAILURE;
    }
    write_page(out);
    if (fclose(out) != 0) {
        perror(argv[1]);
        return EXIT_FAILURE;
    }
    return EXIT_SUCCESS;
}
