#!/usr/bin/env python3
"""How well the print-quality grade agrees with the development set's labels.

Grades the clean render of every look in LOOKS (looks.jsonl, as written by
the dev-set scripts beside this one) with vantelor_qrcode.check and compares
the verdict (grade >= the minimum, C by default) with the reader label:
false greens are looks that pass but are labelled "fails", false reds looks
that fail but are labelled "scans". Prints both tables and every
disagreement with the parameter that decided it.

    tools/devset/agreement.py --dir /work/devset [--min-grade C] [--lib PATH]
"""
import argparse
import collections
import json
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))


def load_package(lib):
    if lib:
        os.environ["VANTELOR_QRCODE_LIBRARY"] = lib
    sys.path.insert(0, os.path.join(HERE, "..", "..", "python"))
    import vantelor_qrcode
    return vantelor_qrcode


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--dir", default="/work/devset", help="folder holding looks.jsonl")
    ap.add_argument("--min-grade", default="C", help="lowest passing grade (default C)")
    ap.add_argument("--lib", help="libvantelor-qrcode.so to load (default: the package's own)")
    ap.add_argument("--json", help="also write per-look grades here")
    args = ap.parse_args()
    qr = load_package(args.lib)
    looks = [json.loads(line) for line in open(os.path.join(args.dir, "looks.jsonl"))]

    table = collections.Counter()              # (label, verdict)
    families = collections.defaultdict(collections.Counter)
    grades = collections.Counter()
    wrong, rows = [], []
    for look in looks:
        report = qr.check(look["render"], expected=look["text"], min_grade=args.min_grade)
        verdict = "pass" if report.passes else "fail"
        label = look["label"]
        table[label, verdict] += 1
        families[look["family"]][label, verdict] += 1
        grades[label, report.grade] += 1
        rows.append({"id": look["id"], "label": label, "grade": report.grade,
                     "weakest": report.weakest,
                     "grades": {p.name: p.grade for p in report.parameters}})
        if (label, verdict) in (("fails", "pass"), ("scans", "fail")):
            wrong.append((look, report))

    scans = sum(table["scans", v] for v in ("pass", "fail"))
    fails = sum(table["fails", v] for v in ("pass", "fail"))
    print(f"{len(looks)} looks; verdict = grade >= {args.min_grade}\n")
    print("| label | passes | fails | total |\n|---|---|---|---|")
    for label in ("scans", "between", "fails"):
        p, f = table[label, "pass"], table[label, "fail"]
        print(f"| {label} | {p} | {f} | {p + f} |")
    print(f"\nFalse greens: {table['fails', 'pass']} of {fails} failing looks "
          f"({100 * table['fails', 'pass'] / max(fails, 1):.1f} %)")
    print(f"False reds: {table['scans', 'fail']} of {scans} scanning looks "
          f"({100 * table['scans', 'fail'] / max(scans, 1):.1f} %)\n")
    print("| label | " + " | ".join(qr.GRADES[::-1]) + " |\n|---|" + "---|" * 5)
    for label in ("scans", "between", "fails"):
        print(f"| {label} | " + " | ".join(str(grades[label, g]) for g in qr.GRADES[::-1]) + " |")
    print("\n| family | scans pass/fail | between pass/fail | fails pass/fail |\n|---|---|---|---|")
    for fam in sorted(families):
        c = families[fam]
        print(f"| {fam} | " + " | ".join(f"{c[l, 'pass']}/{c[l, 'fail']}"
                                         for l in ("scans", "between", "fails")) + " |")
    print("\nDisagreements:")
    for look, report in wrong:
        reads = look["reads"]
        print(f"  {look['id']} {look['family']:<20} {look['label']:<6} grade {report.grade} "
              f"({report.weakest}) reads z{reads['zxing-cpp']} b{reads['zbar']} "
              f"w{reads['wechat']}  {' '.join(look['vqr_args'][1:-3])}")
    if args.json:
        with open(args.json, "w") as f:
            json.dump(rows, f, indent=1)


if __name__ == "__main__":
    main()
