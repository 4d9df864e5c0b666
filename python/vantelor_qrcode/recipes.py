"""What the designer hands over once a look is right: file names taken from
the content, and the `vqr` command line, the Python code and the C program
that write exactly the PNG and SVG files the page offers for download.

All three encode the text the page encoded (for payload kinds, the text the
library's builder wrote), so an event's time stamp and every escape come out
the same; the payload encoders' own fixed level and quiet zone would not.
"""

import re
import urllib.parse

from . import CENTER_STYLES, MODULE_STYLES, RING_STYLES

# kind: the content field a file name is made from
NAME_FIELDS = {"wifi": "ssid", "vcard": "name", "email": "to", "sms": "phone", "event": "title"}
MAX_NAME = 40
LEVEL_NUMBERS = {"L": 0, "M": 1, "Q": 2, "H": 3}

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


def recipes(text, style, logo_name, level, module_size, quiet_zone, stem):
    """{"vqr", "python", "c"}: each writes <stem>.png and <stem>.svg exactly
    as the designer drew them. `style` is the Style the designer used;
    `logo_name` stands for its logo file."""
    geometry = (level, module_size, quiet_zone)
    files = (f"{stem}.png", f"{stem}.svg")
    return {"vqr": _vqr(text, style, logo_name, geometry, files),
            "python": _python(text, style, logo_name, geometry, files),
            "c": _c(text, style, logo_name, geometry, files)}


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


def _vqr(text, style, logo_name, geometry, files):
    level, module_size, quiet_zone = geometry
    options = ["-l", level, "-s", str(module_size), "-q", str(quiet_zone)]
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


def _python(text, style, logo_name, geometry, files):
    level, module_size, quiet_zone = geometry
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
    lines += [f"qr.save(text, {f!r}, level={level!r}, module_size={module_size}, "
              f"quiet_zone={quiet_zone}, style=style)" for f in files]
    return "\n".join(lines) + "\n"


# ---- C ------------------------------------------------------------------------------------

C_ESCAPES = {"\\": "\\\\", '"': '\\"', "\n": "\\n", "\r": "\\r", "\t": "\\t"}


def c_string(text):
    """`text` as a C string literal (UTF-8 bytes stay as they are)."""
    body = "".join(C_ESCAPES.get(c, f"\\{ord(c):03o}" if ord(c) < 32 or ord(c) == 127 else c)
                   for c in text)
    # "??" could start a trigraph in strict C modes.
    return '"' + body.replace("??", "?\\?") + '"'


def _c(text, style, logo_name, geometry, files):
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
    body = "\n".join(f"    {c}" for c in calls)
    return ("/* cc code.c $(pkg-config --cflags --libs vantelor-qrcode) */\n"
            "#include <stdio.h>\n#include <vantelor_qrcode.h>\n\n"
            f"int main(void) {{\n    const char *text = {c_string(text)};\n    qr_init();\n"
            + (body + "\n" if body else "")
            + f"    if (qr_encode_to_file(text, {c_string(files[0])}, {geometry_args}) != 1 ||\n"
            f"        qr_encode_to_svg_file(text, {c_string(files[1])}, {geometry_args}) != 1) {{\n"
            "        fprintf(stderr, \"%s\\n\", qr_last_error());\n        return 1;\n    }\n"
            "    qr_cleanup();\n    return 0;\n}\n")
