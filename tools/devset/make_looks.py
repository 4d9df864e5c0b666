#!/usr/bin/python3
"""Generate the development looks and render each with `vqr encode`.

usage: make_looks.py --dir DIR [--vqr PATH] [--seed N]

Writes DIR/looks.jsonl (id, family, risky, text, the exact vqr arguments, the
render's path), DIR/renders/ID.png and the logo images DIR/logos/ID.png. The
same seed gives the same looks. Half the looks are safe (dark on light), half
risky (light colours, low contrast, light gradient ends, light on dark,
gradient and dark backgrounds, transparency, large logos).
"""
import argparse
import os
import random
import string
import subprocess
import sys

import devset

MODULE_STYLES = ("block", "pill", "disc", "leaf", "petal", "fan")
RING_STYLES = ("box", "circle", "cushion", "pebble", "tile", "tube")
CENTER_STYLES = ("box", "disc", "cushion")
PRESETS = ("modern", "dots", "elegant", "neon", "corporate", "minimal")
LEVELS = "LMQH"

DARK = ("#000000", "#1a1a2e", "#0b3d91", "#222222", "#3a0ca3", "#14532d", "#7f1d1d",
        "#333333", "#1e3a8a", "#4a044e", "#2d3436", "#5b2c06")
LIGHT_BACKGROUNDS = ("#ffffff", "#ffffff", "#fffbe6", "#f5f5f5", "#eef6ff", "#fff0f5")
LIGHT_INKS = ("#fcfcfc", "#eeeeee", "#dddddd", "#cccccc", "#bbbbbb", "#aaaaaa", "#999999",
              "#ffff00", "#ffd700", "#aaffaa", "#ffc0cb", "#a0c4ff", "#f0e68c", "#87ceeb",
              "#ff9999", "#c0c0ff")
MID_INKS = ("#777777", "#666666", "#888888", "#5577aa", "#aa5555", "#558855", "#996633")
MID_BACKGROUNDS = ("#cccccc", "#bbbbbb", "#dddddd", "#c8d8e8", "#e0c0c0", "#d0e0c0", "#aaaaaa")
DARK_BACKGROUNDS = ("#000000", "#1a1a2e", "#222244", "#333333", "#0b1d3a", "#2b0a0a")
BRIGHT_ON_DARK = ("#ffffff", "#ffff00", "#00ffff", "#dddddd", "#ff66cc", "#99ff99", "#888888")
DIM_ON_DARK = ("#000000", "#111111", "#1a1a2e", "#0b0b20")
DIM_BACKGROUNDS = ("#333333", "#444466", "#552222", "#3a3a5e", "#2f4f4f", "#555555")

WORDS = ("order", "ticket", "menu", "table", "event", "hall", "north", "river", "garden", "blue",
         "seven", "launch", "coffee", "paper", "studio", "market", "signal", "winter", "lamp")


def text_of_length(rng, n):
    """Words and numbers, exactly n characters, ending in a full stop (never in a space)."""
    s = ""
    while len(s) < n:
        s += rng.choice(WORDS) + rng.choice(("", str(rng.randrange(100)), ",", ".")) + " "
    return s[:n - 1] + "."


def short_text(rng):
    kind = rng.randrange(4)
    alphabet = string.ascii_lowercase + string.digits
    slug = "".join(rng.choice(alphabet) for _ in range(rng.randint(3, 16)))
    if kind == 0:
        return "https://example.org/" + slug
    if kind == 1:
        return ("HTTPS://EXAMPLE.COM/" + slug).upper()
    if kind == 2:
        return str(rng.randrange(10 ** 6, 10 ** 12))
    return text_of_length(rng, rng.randint(10, 40))


def random_text(rng, weights=(50, 30, 14, 6)):
    """Short (10-40), medium (60-150), 300 or 600 characters, by the given weights."""
    kind = rng.choices(("short", "medium", "300", "600"), weights)[0]
    if kind == "short":
        return short_text(rng)
    if kind == "medium":
        return text_of_length(rng, rng.randint(60, 150))
    return text_of_length(rng, int(kind))


def gradient(rng, a, b):
    if rng.random() < 0.7:
        return "linear:%s:%s:%d" % (a, b, rng.choice((0, 45, 90, 135, 180, 225, 270, 315)))
    return "radial:%s:%s" % (a, b)


def geometry(rng, level=None):
    """Level (random unless given), module size (2-10 px) and quiet zone (0-4 modules)."""
    level = level or rng.choice(LEVELS)
    return ["-l", level, "-s", str(rng.randint(2, 10)), "-q", str(rng.randint(0, 4))]


def figures(rng):
    return ["--module-style", rng.choice(MODULE_STYLES), "--ring-style", rng.choice(RING_STYLES),
            "--center-style", rng.choice(CENTER_STYLES)]


def maybe_figures(rng, p=0.5):
    return figures(rng) if rng.random() < p else []


def colours(ink, ring=None, centre=None):
    return ["--module-color", ink, "--ring-color", ring or ink, "--center-color", centre or ink]


# Each family: (name, risky, number of looks, maker). A maker takes the random source, the
# look's index in its family and the path for a logo image, and returns (style arguments, text).
def f_default_short(rng, i, _logo):
    return geometry(rng), short_text(rng)


def f_default_long(rng, i, _logo):
    return geometry(rng), text_of_length(rng, (300, 600, 300, 150)[i % 4])


def preset_family(name):
    def make(rng, i, _logo):
        return ["-p", name] + geometry(rng, "H" if i == 0 else None), random_text(rng)
    return make


def f_figures(rng, i, _logo):
    ring, centre = RING_STYLES[(i // 2) % 6], CENTER_STYLES[(i // 12) % 3]
    args = geometry(rng) + ["--module-style", MODULE_STYLES[i % 6], "--ring-style", ring,
                            "--center-style", centre]
    if rng.random() < 0.4:
        args += colours(rng.choice(DARK))
    return args, random_text(rng)


def f_dark_colour(rng, i, _logo):
    args = geometry(rng) + maybe_figures(rng) + ["--background", rng.choice(LIGHT_BACKGROUNDS)]
    if i % 2:
        a, b = rng.sample(DARK, 2)
        args += ["--module-gradient", gradient(rng, a, b), "--ring-color", rng.choice(DARK)]
    else:
        args += colours(rng.choice(DARK), rng.choice(DARK), rng.choice(DARK))
    return args, random_text(rng)


def logo_family(lo, hi):
    def make(rng, i, logo):
        size = round(rng.uniform(lo, hi), 2)
        args = geometry(rng, LEVELS[i % 4]) + maybe_figures(rng, 0.3)
        if rng.random() < 0.3:
            args += colours(rng.choice(DARK))
        draw_logo(rng, logo)
        args += ["--logo", logo, "--logo-size", "%.2f" % size,
                 "--logo-margin", str(rng.randint(0, 8))]
        return args, random_text(rng, (60, 30, 10, 0))
    return make


def f_light_colour(rng, i, _logo):
    ink = rng.choice(LIGHT_INKS)
    ring = ink if rng.random() < 0.6 else rng.choice(DARK)
    return geometry(rng) + maybe_figures(rng) + colours(ink, ring, ring), random_text(rng)


def f_low_contrast(rng, i, _logo):
    ink = rng.choice(MID_INKS)
    return (geometry(rng) + maybe_figures(rng) + colours(ink) +
            ["--background", rng.choice(MID_BACKGROUNDS)], random_text(rng))


def f_light_gradient(rng, i, _logo):
    dark, light = rng.choice(DARK), rng.choice(LIGHT_INKS)
    args = geometry(rng) + maybe_figures(rng) + ["--module-gradient", gradient(rng, dark, light)]
    if rng.random() < 0.5:
        args += ["--ring-gradient", gradient(rng, dark, light), "--center-color", dark]
    return args, random_text(rng)


def f_light_on_dark(rng, i, _logo):
    ink = rng.choice(BRIGHT_ON_DARK)
    return (geometry(rng) + maybe_figures(rng) + colours(ink) +
            ["--background", rng.choice(DARK_BACKGROUNDS)], random_text(rng))


def f_gradient_background(rng, i, _logo):
    light, other = rng.choice(LIGHT_BACKGROUNDS), rng.choice(MID_BACKGROUNDS + DARK_BACKGROUNDS[2:])
    return (geometry(rng) + maybe_figures(rng) + colours(rng.choice(DARK)) +
            ["--background-gradient", gradient(rng, light, other)], random_text(rng))


def f_dark_on_dark(rng, i, _logo):
    return (geometry(rng) + maybe_figures(rng) + colours(rng.choice(DIM_ON_DARK)) +
            ["--background", rng.choice(DIM_BACKGROUNDS)], random_text(rng))


def f_transparent(rng, i, _logo):
    ink = ("#ffffff", "#eeeeee", "#ffff00", "#000000", "#0b3d91", "#cccccc")[i % 6]
    return (geometry(rng) + maybe_figures(rng) + colours(ink) + ["--background", "transparent"],
            random_text(rng))


FAMILIES = (
    ("default-short", False, 12, f_default_short),
    ("default-long", False, 12, f_default_long),
) + tuple(("preset-" + p, False, 6, preset_family(p)) for p in PRESETS) + (
    ("figures", False, 36, f_figures),
    ("dark-colour", False, 18, f_dark_colour),
    ("logo-small", False, 18, logo_family(0.10, 0.25)),
    ("light-colour", True, 24, f_light_colour),
    ("low-contrast", True, 16, f_low_contrast),
    ("light-gradient", True, 20, f_light_gradient),
    ("light-on-dark", True, 18, f_light_on_dark),
    ("gradient-background", True, 16, f_gradient_background),
    ("dark-on-dark", True, 12, f_dark_on_dark),
    ("transparent", True, 12, f_transparent),
    ("logo-large", True, 18, logo_family(0.30, 0.50)),
)


def draw_logo(rng, path):
    """A small synthetic logo: a coloured badge with a few shapes, sometimes with transparency."""
    from PIL import Image, ImageDraw
    size = rng.choice((64, 96, 128, 200))
    if rng.random() < 0.3:
        bg = (255, 255, 255, 0)
    else:
        bg = tuple(rng.randrange(256) for _ in range(3)) + (255,)
    im = Image.new("RGBA", (size, size), bg)
    d = ImageDraw.Draw(im)
    for _ in range(rng.randint(1, 4)):
        box = sorted(rng.sample(range(size), 2))
        box2 = sorted(rng.sample(range(size), 2))
        fill = tuple(rng.randrange(256) for _ in range(3)) + (255,)
        shape = d.ellipse if rng.random() < 0.5 else d.rectangle
        shape((box[0], box2[0], box[1], box2[1]), fill=fill)
    im.save(path)


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--dir", required=True, help="the set's folder (outside the repository)")
    ap.add_argument("--vqr", default=devset.DEFAULT_VQR, help="the vqr tool to render with")
    ap.add_argument("--seed", type=int, default=devset.SEED)
    args = ap.parse_args()
    for sub in ("renders", "logos"):
        os.makedirs(os.path.join(args.dir, sub), exist_ok=True)

    rng = random.Random(args.seed)
    looks = []
    for family, risky, count, make in FAMILIES:
        for i in range(count):
            look_id = "L%03d" % len(looks)
            style, text = make(rng, i, os.path.join(args.dir, "logos", look_id + ".png"))
            render = os.path.join(args.dir, "renders", look_id + ".png")
            vqr_args = ["encode"] + style + ["-o", render, text]
            done = subprocess.run([args.vqr] + vqr_args, capture_output=True, text=True)
            if done.returncode != 0:
                print("%s: vqr failed: %s" % (look_id, done.stderr.strip()), file=sys.stderr)
                return 1
            looks.append({"id": look_id, "family": family, "risky": risky, "text": text,
                          "text_length": len(text), "module_px": int(style[style.index("-s") + 1]),
                          "vqr_args": vqr_args, "render": render})
    devset.save_looks(args.dir, looks)
    print("%d looks in %s" % (len(looks), devset.looks_path(args.dir)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
