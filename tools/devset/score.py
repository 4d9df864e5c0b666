#!/usr/bin/python3
"""Read every capture with our library and the Debian readers in one run.

usage: score.py --dir DIR [--lib PATH] [--readers ours,zxing-cpp,zbar,wechat]
                [--family NAME[,NAME...]] [--misses]

Prints a Markdown table: per look family (and per label, and overall) the
captures each reader read with the exact text, their share, and the median time
per capture (file loading and decoding, as each reader's caller sees it).
--misses lists the captures that at least two Debian readers read and ours did
not, with the capture's parameters, worst first by family.
"""
import argparse
import collections
import statistics
import sys
import time

import devset

DEFAULT_READERS = ("ours",) + devset.DEBIAN_READERS


def make_readers(names, lib):
    return [(n, devset.library_reader(lib) if n == "ours" else devset.READER_FACTORIES[n]())
            for n in names]


def read_all(looks, readers):
    """results[look id][k][reader] = (read?, milliseconds)"""
    results = {}
    for look in looks:
        per_capture = []
        for path in look["captures"]:
            row = {}
            for name, read in readers:
                t0 = time.perf_counter()
                texts = read(path)
                row[name] = (look["text"] in texts, (time.perf_counter() - t0) * 1e3)
            per_capture.append(row)
        results[look["id"]] = per_capture
    return results


def groups(looks):
    """Row name -> looks, in the order the table shows them."""
    out = collections.OrderedDict()
    for look in looks:
        out.setdefault(look["family"], []).append(look)
    for name, pick in (("all safe", lambda l: not l["risky"]), ("all risky", lambda l: l["risky"]),
                       ("label scans", lambda l: l.get("label") == "scans"),
                       ("label between", lambda l: l.get("label") == "between"),
                       ("label fails", lambda l: l.get("label") == "fails"),
                       ("ALL", lambda l: True)):
        chosen = [l for l in looks if pick(l)]
        if chosen:
            out[name] = chosen
    return out


def print_table(looks, results, names):
    columns = " | ".join("%s read | %s ms" % (n, n) for n in names)
    print("| looks | n | captures | " + columns + " |")
    print("|---|---:|---:|" + "---:|---:|" * len(names))
    for row_name, chosen in groups(looks).items():
        cells = [row_name, str(len(chosen))]
        captures = [c for l in chosen for c in results[l["id"]]]
        cells.append(str(len(captures)))
        for n in names:
            read = sum(c[n][0] for c in captures)
            cells.append("%d (%.0f %%)" % (read, 100.0 * read / len(captures)))
            cells.append("%.1f" % statistics.median(c[n][1] for c in captures))
        print("| " + " | ".join(cells) + " |")


def print_misses(looks, results):
    print("\ncaptures read by >= 2 Debian readers, not by ours:")
    for look in looks:
        for k, c in enumerate(results[look["id"]]):
            others = sum(c[n][0] for n in devset.DEBIAN_READERS if n in c)
            if "ours" in c and not c["ours"][0] and others >= 2:
                p = look["capture_params"][k]
                print("%s %-20s module %.1f px blur %.2f tilt %.0f glare %s  %s" % (
                    look["captures"][k], look["family"], p["module_px"], p["blur_sigma"],
                    p["tilt_deg"], p["glare"], " ".join(look["vqr_args"][1:-3])))


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--dir", required=True, help="the set's folder")
    ap.add_argument("--lib", default=devset.DEFAULT_LIB, help="our library's shared object")
    ap.add_argument("--readers", default=",".join(DEFAULT_READERS))
    ap.add_argument("--family", help="only these families (comma-separated)")
    ap.add_argument("--misses", action="store_true",
                    help="list captures others read and ours missed")
    args = ap.parse_args()
    looks = devset.load_looks(args.dir)
    if args.family:
        wanted = set(args.family.split(","))
        looks = [l for l in looks if l["family"] in wanted]
    names = args.readers.split(",")
    results = read_all(looks, make_readers(names, args.lib))
    print_table(looks, results, names)
    if args.misses:
        print_misses(looks, results)
    return 0


if __name__ == "__main__":
    sys.exit(main())
