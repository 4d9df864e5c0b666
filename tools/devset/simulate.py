#!/usr/bin/python3
"""Simulated phone captures of every look: eight JPEG files per look.

usage: simulate.py --dir DIR [--seed N] [--only ID[,ID...]]

Reads DIR/looks.jsonl and writes DIR/captures/ID-K.jpg (K = 0..7) and each
capture's parameters into looks.jsonl ("captures", "capture_params"). A capture
depends only on the seed, the look's id and K, so any subset can be made again.

The steps, in order (numbers are drawn uniformly from the ranges):
 1. print: the render composited over paper in linear light; each colour
    channel's reflectance is ink + (paper - ink) * linear(sRGB value), with paper
    0.80-0.90 and the darkest ink 0.02-0.06; outside the render is paper;
 2. perspective: the sheet tilted 0-25 degrees about a random axis in its plane,
    seen from 1.5-3 code widths away, scaled so a module at the code's centre is
    3.5-5 px (drawn at twice the size, then area-reduced);
 3. camera tone curve: with y the reflectance relative to paper, the value is
    paper_level * (1 - gain * (1 - y)), gain 0.55-0.9, paper_level 220-250,
    then 255 * (v / 255) ^ gamma, gamma 0.8-1.2;
 4. a brightness ramp across the picture in a random direction, a factor from
    1 - a to 1 + a, a up to 0.4;
 5. in half the captures a soft glare spot (Gaussian, its full width at half
    maximum 20-50 % of the code's width, anywhere over the code) adding 30-90
    grey levels;
 6. defocus: Gaussian blur, sigma 0.9 .. min(2.0, 0.28 * module) px;
 7. a colour-sensor mosaic (RGGB, one colour per pixel) rebuilt to RGB by
    bilinear interpolation;
 8. Gaussian noise, sigma 4-9 grey levels, on every channel;
 9. JPEG, quality 45-80.
"""
import argparse
import math
import os
import sys

import cv2  # python3-opencv
import numpy as np

import devset

PAPER = (0.80, 0.90)
INK = (0.02, 0.06)
TILT_DEG = 25.0
DISTANCE = (1.5, 3.0)  # camera distance in code widths
MODULE_PX = (3.5, 5.0)
MARGIN = (0.10, 0.30)  # paper shown around the code, in code widths
GAIN = (0.55, 0.90)
PAPER_LEVEL = (220.0, 250.0)
GAMMA = (0.8, 1.2)
RAMP = 0.40
GLARE_LEVELS = (30.0, 90.0)
GLARE_WIDTH = (0.20, 0.50)
BLUR_MIN, BLUR_MAX, BLUR_PER_MODULE = 0.9, 2.0, 0.28
NOISE = (4.0, 9.0)
JPEG_QUALITY = (45, 80)
SUPERSAMPLE = 2


def draw_parameters(rng, module_render_px):
    """Everything random about one capture, drawn in a fixed order."""
    module = rng.uniform(*MODULE_PX)
    p = {
        "paper": rng.uniform(*PAPER), "ink": rng.uniform(*INK),
        "tilt_deg": rng.uniform(0.0, TILT_DEG), "tilt_axis_deg": rng.uniform(0.0, 360.0),
        "distance": rng.uniform(*DISTANCE), "module_px": module,
        "scale": module / module_render_px, "margin": rng.uniform(*MARGIN),
        "gain": rng.uniform(*GAIN), "paper_level": rng.uniform(*PAPER_LEVEL),
        "gamma": rng.uniform(*GAMMA),
        "ramp": rng.uniform(0.0, RAMP), "ramp_dir_deg": rng.uniform(0.0, 360.0),
        "glare": bool(rng.random() < 0.5), "glare_levels": rng.uniform(*GLARE_LEVELS),
        "glare_width": rng.uniform(*GLARE_WIDTH),
        "glare_at": [rng.uniform(0.1, 0.9), rng.uniform(0.1, 0.9)],
        "blur_sigma": rng.uniform(BLUR_MIN, max(BLUR_MIN, min(BLUR_MAX, BLUR_PER_MODULE * module))),
        "noise_sigma": rng.uniform(*NOISE),
        "jpeg_quality": int(rng.integers(JPEG_QUALITY[0], JPEG_QUALITY[1] + 1)),
    }
    return p


def srgb_to_linear(c):
    return np.where(c <= 0.04045, c / 12.92, ((c + 0.055) / 1.055) ** 2.4)


def printed_reflectance(rgba, p):
    """Reflectance of the printed render, relative to the paper (paper = 1)."""
    rgb = srgb_to_linear(rgba[..., :3].astype(np.float32) / 255.0)
    alpha = rgba[..., 3:4].astype(np.float32) / 255.0
    covered = alpha * rgb + (1.0 - alpha)  # transparent pixels show the paper
    return (p["ink"] + (p["paper"] - p["ink"]) * covered) / p["paper"]


def tilt_homography(width, height, p):
    """Maps render pixels to capture pixels: the sheet rotated about an in-plane axis,
    seen in perspective, scaled and shifted so the code and its margin fill the frame."""
    t, a = math.radians(p["tilt_deg"]), math.radians(p["tilt_axis_deg"])
    u = np.array([math.cos(a), math.sin(a), 0.0])
    k = np.array([[0, -u[2], u[1]], [u[2], 0, -u[0]], [-u[1], u[0], 0]])
    rot = np.eye(3) + math.sin(t) * k + (1 - math.cos(t)) * (k @ k)
    side = max(width, height)
    dist = p["distance"] * side
    corners = np.array([[0, 0], [width, 0], [width, height], [0, height]], np.float64)
    centred = np.c_[corners - [width / 2, height / 2], np.zeros(4)]
    cam = centred @ rot.T + [0, 0, dist]
    projected = cam[:, :2] / cam[:, 2:3] * dist * p["scale"]
    margin = p["margin"] * side * p["scale"]
    projected += margin - projected.min(axis=0)
    size = np.ceil(projected.max(axis=0) + margin).astype(int)
    h = cv2.getPerspectiveTransform(corners.astype(np.float32), projected.astype(np.float32))
    return h, (int(size[0]), int(size[1])), projected


def photograph(refl, p, rng):
    """Steps 2-9 on a reflectance image; returns the JPEG bytes."""
    height, width = refl.shape[:2]
    h, (out_w, out_h), quad = tilt_homography(width, height, p)
    big = np.diag([SUPERSAMPLE, SUPERSAMPLE, 1.0]) @ h
    warped = cv2.warpPerspective(refl, big, (out_w * SUPERSAMPLE, out_h * SUPERSAMPLE),
                                 flags=cv2.INTER_LINEAR, borderMode=cv2.BORDER_CONSTANT,
                                 borderValue=(1.0, 1.0, 1.0))
    y = cv2.resize(warped, (out_w, out_h), interpolation=cv2.INTER_AREA)

    v = np.clip(p["paper_level"] * (1.0 - p["gain"] * (1.0 - y)), 0.0, 255.0)
    v = 255.0 * (v / 255.0) ** p["gamma"]

    yy, xx = np.mgrid[0:out_h, 0:out_w].astype(np.float32)
    d = math.radians(p["ramp_dir_deg"])
    along = (xx - out_w / 2) * math.cos(d) + (yy - out_h / 2) * math.sin(d)
    along /= max(np.abs(along).max(), 1.0)
    v *= (1.0 + p["ramp"] * along)[..., None]

    if p["glare"]:
        code_w = float(np.ptp(quad[:, 0]))
        lo, hi = quad.min(axis=0), quad.max(axis=0)
        cx, cy = lo + (hi - lo) * np.array(p["glare_at"])
        sigma = p["glare_width"] * code_w / 2.3548
        spot = np.exp(-((xx - cx) ** 2 + (yy - cy) ** 2) / (2 * sigma * sigma))
        v += (p["glare_levels"] * spot)[..., None]

    v = cv2.GaussianBlur(np.clip(v, 0, 255), (0, 0), p["blur_sigma"])
    mosaic = np.empty((out_h, out_w), np.float32)
    mosaic[0::2, 0::2] = v[0::2, 0::2, 0]
    mosaic[0::2, 1::2] = v[0::2, 1::2, 1]
    mosaic[1::2, 0::2] = v[1::2, 0::2, 1]
    mosaic[1::2, 1::2] = v[1::2, 1::2, 2]
    # OpenCV names Bayer layouts from the second row: red at (0, 0) is its "BG" pattern.
    rgb = cv2.cvtColor(np.clip(mosaic + 0.5, 0, 255).astype(np.uint8), cv2.COLOR_BayerBG2RGB)
    noisy = rgb.astype(np.float32) + rng.normal(0.0, p["noise_sigma"], rgb.shape).astype(np.float32)
    out = np.clip(noisy + 0.5, 0, 255).astype(np.uint8)
    ok, jpeg = cv2.imencode(".jpg", cv2.cvtColor(out, cv2.COLOR_RGB2BGR),
                            [cv2.IMWRITE_JPEG_QUALITY, p["jpeg_quality"]])
    assert ok
    return jpeg.tobytes()


def load_rgba(path):
    im = cv2.imread(path, cv2.IMREAD_UNCHANGED)
    if im.ndim == 2:
        im = cv2.cvtColor(im, cv2.COLOR_GRAY2BGRA)
    elif im.shape[2] == 3:
        im = cv2.cvtColor(im, cv2.COLOR_BGR2BGRA)
    return cv2.cvtColor(im, cv2.COLOR_BGRA2RGBA)


def capture(rgba, module_render_px, seed, look_index, k):
    """One capture of a render: (JPEG bytes, parameters). Deterministic in its arguments."""
    rng = np.random.default_rng([seed, look_index, k])
    p = draw_parameters(rng, module_render_px)
    return photograph(printed_reflectance(rgba, p), p, rng), p


def simulate_look(root, look, look_index, seed):
    rgba = load_rgba(look["render"])
    paths, params = [], []
    for k in range(devset.CAPTURES_PER_LOOK):
        jpeg, p = capture(rgba, look["module_px"], seed, look_index, k)
        path = devset.capture_path(root, look["id"], k)
        with open(path, "wb") as f:
            f.write(jpeg)
        paths.append(path)
        params.append({key: (round(v, 4) if isinstance(v, float) else v) for key, v in p.items()})
    look["captures"], look["capture_params"] = paths, params


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--dir", required=True, help="the set's folder")
    ap.add_argument("--seed", type=int, default=devset.SEED)
    ap.add_argument("--only", help="comma-separated look ids (default: all)")
    args = ap.parse_args()
    os.makedirs(os.path.join(args.dir, "captures"), exist_ok=True)
    looks = devset.load_looks(args.dir)
    only = set(args.only.split(",")) if args.only else None
    for index, look in enumerate(looks):
        if only is None or look["id"] in only:
            simulate_look(args.dir, look, index, args.seed)
    devset.save_looks(args.dir, looks)
    return 0


if __name__ == "__main__":
    sys.exit(main())
