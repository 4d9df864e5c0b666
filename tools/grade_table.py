#!/usr/bin/env python3
"""Prints the grade tables of docs/grading.md: every preset and every
module/ring/centre combination (black on white), graded as `vqr check` does
at 4, 6 and 10 pixels per module (level M, quiet zone 4, a 25-character URL).

    VANTELOR_QRCODE_LIBRARY=build/dev/libvantelor-qrcode.so tools/grade_table.py
"""
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "python"))
import vantelor_qrcode as qr  # noqa: E402

TEXT = "https://example.org/grade"
SIZES = (4, 6, 10)


def cell(style, size):
    report = qr.check(qr.encode_png(TEXT, module_size=size, quiet_zone=4, style=style),
                      expected=TEXT)
    return report.grade if report.grade in "ABC" else f"**{report.grade}** ({report.weakest})"


def main():
    header = "| " + " | ".join(f"{s} px" for s in SIZES) + " |"
    print("| preset " + header + "\n|---|" + "---|" * len(SIZES))
    for name in ("default",) + qr.PRESETS:
        style = qr.Style(None if name == "default" else name)
        print(f"| {name} | " + " | ".join(cell(style, s) for s in SIZES) + " |")
    print("\n| module | ring | centre " + header + "\n|---|---|---|" + "---|" * len(SIZES))
    for module in qr.MODULE_STYLES:
        for ring in qr.RING_STYLES:
            for centre in qr.CENTER_STYLES:
                style = qr.Style(module_style=module, ring_style=ring, center_style=centre)
                print(f"| {module} | {ring} | {centre} | "
                      + " | ".join(cell(style, s) for s in SIZES) + " |")


if __name__ == "__main__":
    main()
