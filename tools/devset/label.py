#!/usr/bin/python3
"""Label every look from how independent readers read its captures.

usage: label.py --dir DIR [--summary]

Reads each capture of DIR/looks.jsonl with Debian's zxing-cpp (python3-zxing-cpp),
ZBar (python3-pyzbar) and OpenCV's WeChat reader (python3-opencv, without model
files); a read counts only with the look's exact text. Writes into looks.jsonl,
per look: "reads" (captures read, per reader), "capture_reads" (per capture,
which readers read it) and "label":
  "scans"   at least 60 % of the (reader, capture) pairs read, and at least 2 of
            the 3 readers read at least half of the captures;
  "fails"   at most 20 % of the pairs read;
  "between" otherwise.
Prints the labels per family.
"""
import argparse
import collections
import sys

import devset


def label_look(look, readers):
    per_capture = []
    for path in look["captures"]:
        per_capture.append({name: look["text"] in read(path) for name, read in readers})
    look["capture_reads"] = per_capture
    look["reads"] = {name: sum(c[name] for c in per_capture) for name, _ in readers}
    look["label"] = devset.label(look["reads"], len(look["captures"]))


def print_summary(looks):
    by_family = collections.defaultdict(collections.Counter)
    for look in looks:
        by_family[look["family"]][look["label"]] += 1
    for name in ("all safe", "all risky", "ALL"):
        for look in looks:
            if name == "ALL" or look["risky"] == (name == "all risky"):
                by_family[name][look["label"]] += 1
    print("%-20s %5s %6s %8s %6s" % ("family", "looks", "scans", "between", "fails"))
    for family, c in by_family.items():
        print("%-20s %5d %6d %8d %6d"
              % (family, sum(c.values()), c["scans"], c["between"], c["fails"]))
    pairs = sum(len(look["captures"]) for look in looks)
    for name in devset.DEBIAN_READERS:
        read = sum(look["reads"][name] for look in looks)
        print("%-10s %5d of %d captures (%.0f %%)" % (name, read, pairs, 100.0 * read / pairs))


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--dir", required=True, help="the set's folder")
    ap.add_argument("--summary", action="store_true",
                    help="only print the labels already in looks.jsonl")
    args = ap.parse_args()
    looks = devset.load_looks(args.dir)
    if not args.summary:
        readers = devset.debian_readers()
        for look in looks:
            label_look(look, readers)
        devset.save_looks(args.dir, looks)
    print_summary(looks)
    return 0


if __name__ == "__main__":
    sys.exit(main())
