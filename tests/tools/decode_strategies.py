#!/usr/bin/env python3
"""Tabulates vqr_decode_strategies output against a labelled image folder.

usage: vqr_decode_strategies DIR > runs.jsonl
       decode_strategies.py DIR runs.jsonl [--images]

Prints, per strategy, how many images it reads alone, how many of those the
four fixed attempts and every earlier strategy missed, wrong texts and false
positives, and its median and worst time; then per set the fixed attempts'
and the whole decode run's counts. The folder's
score.py supplies the judging rule (expected texts, accepted character sets).
"""
import json
import os
import statistics
import sys


def main():
    root, runs = sys.argv[1], sys.argv[2]
    sys.path.insert(0, root)
    import score  # the folder's own judging rule
    expected = {p: t for p, t, _c in score.load_manifest(root)}
    rows = [json.loads(line) for line in open(runs)]
    names = [s[0] for s in rows[0]["strategies"]]
    verdict = lambda r, hx: score.judge(expected[r["path"]], bytes.fromhex(hx))
    covered = {r["path"] for r in rows if verdict(r, r["fixed"]) == "read"}
    print(f"{'strategy':26} {'reads':>5} {'new':>4} {'wrong':>5} {'fp':>3} "
          f"{'median':>7} {'worst':>7}")
    for i, name in enumerate(names):
        v = [verdict(r, r["strategies"][i][2]) for r in rows]
        ms = [r["strategies"][i][1] for r in rows]
        hits = {r["path"] for r, x in zip(rows, v) if x == "read"}
        new = hits - covered
        covered |= hits
        print(f"{name:26} {len(hits):5} {len(new):4} {v.count('wrong'):5} {v.count('fp'):3} "
              f"{statistics.median(ms):7.2f} {max(ms):7.2f}")
    sets = {}
    for r in rows:
        s = sets.setdefault(r["path"].split("/")[0], {"n": 0, "fixed": 0, "read": 0, "wrong": 0,
                                                     "fp": 0, "ms": []})
        s["n"] += 1
        s["fixed"] += verdict(r, r["fixed"]) == "read"
        x = verdict(r, r["full"])
        if x in s:
            s[x] += 1
        s["ms"].append(r["full_ms"])
    print("\nper set: images, read by the fixed attempts, by the whole run (wrong, fp,"
          " median and worst ms)")
    for k, s in sorted(sets.items()):
        print(f"{k:10} {s['n']:4} {s['fixed']:4} {s['read']:4} {s['wrong']:4} {s['fp']:3} "
              f"{statistics.median(s['ms']):7.2f} {max(s['ms']):7.2f}")
    if "--images" in sys.argv:
        for r in rows:
            v = verdict(r, r["full"])
            by = [s[0] for s in r["strategies"] if verdict(r, s[2]) == "read"]
            print(r["path"], v, f"{r['full_ms']:.1f}ms", " ".join(by))


if __name__ == "__main__":
    main()
