"""What the designer hands over once a look is right: file names taken from
the content, and the `vqr` command line, the Python code and the C program
that write exactly the PNG and SVG files the page offers for download.

All three encode the text the page encoded (for payload kinds, the text the
library's builder wrote), so an event's time stamp and every escape come out
the same; the payload encoders' own fixed level and quiet zone would not.
"""

import collections
import re
import urllib.parse

from . import CENTER_STYLES, DEFAULT_DPI, MODULE_STYLES, RING_STYLES, _phys_chunk, _svg_length

# kind: the content field a file name is made from
NAME_FIELDS = {"wifi": "ssid", "vcard": "name", "email": "to", "sms": "phone", "event": "title"}
MAX_NAME = 40
LEVEL_NUMBERS = {"L": 0, "M": 1, "Q": 2, "H": 3}
# A print size: `size` such as '30mm' (or None), `dpi` (or None) and the
# image's `side` in pixels at the module size they chose.
Print = collections.namedtuple("Print", "size dpi side")

# (Style attribute, vqr option, C setter, names of its figure numbers)
FIGURES = (("module_style", "module-style", "qr_set_dot_style", MODULE_STYLES),
           ("ring_style", "ring-style", "qr_set_corner_square_style", RING_STYLES),
           ("center_style", "center-style", "qr_set_corner_dot_style", CENTER_STYLES))
# (Style attribute of the colour, of the gradient, vqr part name, C setter stem)
PAINTS = (("module_color", "module_gradient", "module", "dot"),
          ("ring_color", "ring_gradient", "ring", "corner_square"),
          ("center_color", "center_gradient", "center", "corner_dot"),
          ("background", "background_gradient", "background", "background"))


def file_stem(content):
    """'wifi-Home', 'event-Launch', 'geo-51.5,-0.12', the host of a web
    address, or 'qrcode': a name that says what the code holds."""
    kind = content.get("kind", "text")
    if kind == "geo":
        value = f"{content.get('lat', '')},{content.get('lon', '')}"
    elif kind == "text":
        value = urllib.parse.urlsplit(content.get("text", "")).hostname or ""
        kind = "qrcode" if not value else ""
    else:
        value = content.get(NAME_FIELDS[kind], "")
    # Letters (any script), digits, dots and dashes; no leading dot.
    value = re.sub(r"[^\w.,+-]+", "-", str(value)).strip(".-_")[:MAX_NAME].rstrip(".-_")
    return "-".join(p for p in (kind, value) if p) or "qrcode"


def recipes(text, style, logo_name, level, module_size, quiet_zone, stem, printing=None):
    """{"vqr", "python", "c"}: each writes <stem>.png and <stem>.svg exactly
    as the designer drew them. `style` is the Style the designer used;
    `logo_name` stands for its logo file; `printing` is the Print the module
    size came from, if any."""
    geometry = (level, module_size, quiet_zone)
    files = (f"{stem}.png", f"{stem}.svg")
    return {"vqr": _vqr(text, style, logo_name, geometry, files, printing),
            "python": _python(text, style, logo_name, geometry, files, printing),
            "c": _c(text, style, logo_name, geometry, files, printing)}


def _hex(channels):
    return "#" + "".join(f"{c:02x}" for c in channels)


def _number(value):
    """A float as its shortest exact decimal form (0.2, 45.0 -> 45)."""
    return repr(float(value)).removesuffix(".0")


def _paints(style):
    """(vqr part, C stem, colour channels or None, Gradient or None) per set paint."""
    for colour, gradient, part, stem in PAINTS:
        if getattr(style, colour) is not None or getattr(style, gradient) is not None:
            yield part, stem, getattr(style, colour), getattr(style, gradient)


# ---- vqr ----------------------------------------------------------------------------------

SHELL_SAFE = re.compile(r"[A-Za-z0-9_./:=,+@%-]+")
SHELL_ESCAPES = {"\\": "\\\\", "'": "\\'", "\n": "\\n", "\r": "\\r", "\t": "\\t"}


def sh_quote(word):
    """`word` as one shell word: bare when safe, in single quotes, or in
    $'...' when it holds control characters (a pasted line break would run
    the command early)."""
    if SHELL_SAFE.fullmatch(word):
        return word
    if not any(ord(c) < 32 or ord(c) == 127 for c in word):
        return "'" + word.replace("'", "'\\''") + "'"
    return "$'" + "".join(SHELL_ESCAPES.get(c, f"\\x{ord(c):02x}" if ord(c) < 32 or ord(c) == 127
                                            else c) for c in word) + "'"


def _vqr(text, style, logo_name, geometry, files, printing):
    level, module_size, quiet_zone = geometry
    size, dpi = printing[:2] if printing else (None, None)
    options = ["-l", level] + (["--size", size] if size else ["-s", str(module_size)])
    options += (["--dpi", str(dpi)] if dpi else []) + ["-q", str(quiet_zone)]
    if style.preset is not None:
        options += ["--preset", style.preset]
    for attr, option, _, names in FIGURES:
        if getattr(style, attr) is not None:
            options += [f"--{option}", names[getattr(style, attr)]]
    for part, _, colour, gradient in _paints(style):
        if gradient is not None:
            options += [f"--{part}-gradient", f"{gradient.kind}:{_hex(gradient.start)}:"
                        f"{_hex(gradient.end)}:{_number(gradient.rotation)}"]
        else:
            options += [f"--{part}" if part == "background" else f"--{part}-color", _hex(colour)]
    if style.logo is not None:
        options += ["--logo", logo_name, "--logo-size", _number(style.logo_size),
                    "--logo-margin", str(style.logo_margin)]
    # A text that starts with a dash would read as an option.
    operand = (["--"] if text.startswith("-") else []) + [text]
    return "\n".join(" ".join(sh_quote(w) for w in ["vqr", "encode"] + options + ["-o", f]
                              + operand) for f in files) + "\n"


# ---- Python -------------------------------------------------------------------------------

def _gradient_py(g):
    return f"qr.Gradient({_hex(g.start)!r}, {_hex(g.end)!r}, {g.kind!r}, {_number(g.rotation)})"


def _python(text, style, logo_name, geometry, files, printing):
    level, module_size, quiet_zone = geometry
    size, dpi = printing[:2] if printing else (None, None)
    sizing = f"size={size!r}" if size else f"module_size={module_size}"
    sizing += f", dpi={dpi}" if dpi else ""
    args = [repr(style.preset)] if style.preset is not None else []
    for attr, _, _, names in FIGURES:
        if getattr(style, attr) is not None:
            args.append(f"{attr}={names[getattr(style, attr)]!r}")
    for colour_attr, gradient_attr, _, _ in PAINTS:
        colour, gradient = getattr(style, colour_attr), getattr(style, gradient_attr)
        if gradient is not None:
            args.append(f"{gradient_attr}={_gradient_py(gradient)}")
        elif colour is not None:
            args.append(f"{colour_attr}={_hex(colour)!r}")
    if style.logo is not None:
        args += [f"logo={logo_name!r}", f"logo_size={_number(style.logo_size)}",
                 f"logo_margin={style.logo_margin}"]
    lines = ["import vantelor_qrcode as qr", "", f"text = {text!r}",
             "style = qr.Style(" + ",\n                 ".join(args) + ")"]
    lines += [f"qr.save(text, {f!r}, level={level!r}, {sizing}, quiet_zone={quiet_zone}, "
              "style=style)" for f in files]
    return "\n".join(lines) + "\n"


# ---- C ------------------------------------------------------------------------------------

C_ESCAPES = {"\\": "\\\\", '"': '\\"', "\n": "\\n", "\r": "\\r", "\t": "\\t"}


def c_string(text):
    """`text` as a C string literal (UTF-8 bytes stay as they are)."""
    body = "".join(C_ESCAPES.get(c, f"\\{ord(c):03o}" if ord(c) < 32 or ord(c) == 127 else c)
                   for c in text)
    # "??" could start a trigraph in strict C modes.
    return '"' + body.replace("??", "?\\?") + '"'


def _c(text, style, logo_name, geometry, files, printing):
    level, module_size, quiet_zone = geometry
    calls = []
    if style.preset is not None:
        calls.append(f"qr_apply_preset({c_string(style.preset)});")
    for attr, _, setter, names in FIGURES:
        if getattr(style, attr) is not None:
            number = getattr(style, attr)
            calls.append(f"{setter}({number}); /* {names[number]} */")
    for part, stem, colour, gradient in _paints(style):
        if gradient is not None:
            kind = 1 if gradient.kind == "radial" else 0
            channels = ", ".join(str(c) for c in gradient.start + gradient.end)
            calls.append(f"qr_set_{stem}_gradient({kind}, {float(gradient.rotation)!r}f, "
                         f"{channels}); /* {gradient.kind} */")
        else:
            calls.append(f"qr_set_{stem}_color({', '.join(str(c) for c in colour)});")
    if style.logo is not None:
        calls.append(f"qr_set_logo({c_string(logo_name)}, {float(style.logo_size)!r}f, "
                     f"{style.logo_margin});")
    ecc = f"{LEVEL_NUMBERS[level]} /* {level} */"
    geometry_args = f"{ecc}, {module_size}, {quiet_zone}"
    body = "".join(f"    {c}\n" for c in calls)
    png, svg = (c_string(f) for f in files)
    if printing is None:
        return (C_HEAD + C_MAIN.format(text=c_string(text), calls=body)
                + f"    if (qr_encode_to_file(text, {png}, {geometry_args}) != 1 ||\n"
                f"        qr_encode_to_svg_file(text, {svg}, {geometry_args}) != 1) {{\n"
                + C_FAILED + C_END)
    size, dpi, side = printing
    chosen = (f"    /* {size} at {dpi or DEFAULT_DPI} dpi: {module_size} px per module, the "
              f"largest whole number of pixels\n       that puts {side // module_size} modules "
              f"(quiet zone included) in {size}, as vqr --size chooses. */\n" if size else "")
    helpers = C_PRINT_HELPERS.format(length=_svg_length(side, dpi, size))
    if dpi:
        data = [f"0x{b:02x}" for b in _phys_chunk(dpi)]
        chunk = ",\n    ".join(", ".join(data[i:i + 8]) for i in range(0, len(data), 8))
        helpers += C_PNG_WITH_DPI.format(dpi=dpi, per_metre=round(dpi / 0.0254), chunk=chunk)
        png_step = f"    if (write_png(text, {png}, {geometry_args}) != 1) return 1;\n"
    else:
        png_step = (f"    if (qr_encode_to_file(text, {png}, {geometry_args}) != 1) {{\n"
                    + C_FAILED)
    return (C_HEAD.replace("<stdio.h>\n", "<stdio.h>\n#include <string.h>\n") + helpers + "\n"
            + C_MAIN.format(text=c_string(text), calls=body) + chosen + png_step
            + f"    if (write_svg(text, {svg}, {geometry_args}) != 1) return 1;\n" + C_END)


C_HEAD = ("/* cc code.c $(pkg-config --cflags --libs vantelor-qrcode) */\n"
          "#include <stdio.h>\n#include <vantelor_qrcode.h>\n\n")
C_MAIN = "int main(void) {{\n    const char *text = {text};\n    qr_init();\n{calls}"
C_FAILED = "        fprintf(stderr, \"%s\\n\", qr_last_error());\n        return 1;\n    }\n"
C_END = "    qr_cleanup();\n    return 0;\n}\n"
# The SVG's printed size, and (with a DPI) the PNG's recorded resolution, as
# vqr and Python write them; the library itself draws in pixels.
C_PRINT_HELPERS = """\
/* Writes the three parts one after another to path; 1, or -1 with a message. */
static int write_parts(const char *path, const void *a, size_t a_len, const void *b,
                       size_t b_len, const void *c, size_t c_len) {{
    FILE *f = fopen(path, "wb");
    int ok = f && fwrite(a, 1, a_len, f) == a_len && fwrite(b, 1, b_len, f) == b_len &&
             fwrite(c, 1, c_len, f) == c_len;
    if (f && fclose(f) != 0) ok = 0;
    if (!ok) perror(path);
    return ok ? 1 : -1;
}}

/* The SVG with its printed width and height in place of the pixel ones. */
static int write_svg(const char *text, const char *path, int ecc, int module_size, int quiet) {{
    static const char printed[] = " width=\\"{length}\\" height=\\"{length}\\"";
    const char *doc = qr_encode_to_svg_string(text, ecc, module_size, quiet);
    const char *from = doc ? strstr(doc, " width=\\"") : NULL;
    const char *to = from ? strstr(from, " viewBox=\\"") : NULL;
    if (!to) {{
        fprintf(stderr, "%s\\n", qr_last_error());
        return -1;
    }}
    return write_parts(path, doc, (size_t)(from - doc), printed, sizeof printed - 1, to,
                       strlen(to));
}}
"""
C_PNG_WITH_DPI = """
/* {dpi} dpi recorded in the PNG: a pHYs chunk ({per_metre} pixels per metre, then its
   CRC) after the signature and the header chunk, the first 33 bytes. */
static const unsigned char phys[21] = {{
    {chunk}}};

static int write_png(const char *text, const char *path, int ecc, int module_size, int quiet) {{
    int len = 0;
    unsigned char *png = qr_encode_to_memory(text, ecc, module_size, quiet, &len);
    if (!png) {{
        fprintf(stderr, "%s\\n", qr_last_error());
        return -1;
    }}
    int rc = write_parts(path, png, 33, phys, sizeof phys, png + 33, (size_t)len - 33);
    qr_free_buffer(png);
    return rc;
}}
"""
