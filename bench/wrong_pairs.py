#!/usr/bin/python3
"""Wrong partners of the pairing, counted against abgen's ground truth (an analysis, not a test).

Each record of the particle file is matched to the true drops by its camera-A start line (the
record's y_start) and its camera-B start line (from diff_lins and the two line counts); a record
whose two images belong to different drops is a wrong pair. Each wrong pair is followed back
along its chain (who took the B image of the drop whose A image it holds, and so on) to where the
chain starts: a drop whose own B image nobody took (its own pair failed the match test, or
another drop's image came first) and that is whole or cut at a line end, a drop whose B image an
image of no single drop took (merged images), or a cycle of drops that took each other's images.

Usage: bench/wrong_pairs.py BUILD_DIR RUN_DIR [RUN_DIR ...]
  RUN_DIR holds abgen's V05123_1.csv and droppair's V05123_1.sno (as the efficiency validation
  leaves them); snodump writes the particle table p.csv there.
"""
import collections
import csv
import os
import subprocess
import sys


def analyse(build, run_dir):
    subprocess.run([os.path.join(build, "tools/snodump/snodump"), "--csv", "--out", "p.csv", "V05123_1.sno"],
                   cwd=run_dir, check=True)
    whole = {}
    by_a, by_b = collections.defaultdict(list), collections.defaultdict(list)
    with open(os.path.join(run_dir, "V05123_1.csv")) as f:
        for r in csv.DictReader(f):
            if r["line_a"] == "0":
                continue
            i = int(r["id"])
            whole[i] = r["expected"] == "1" and r["splash"] == "0"
            by_a[int(r["line_a"])].append((i, int(r["lines_a"])))
            by_b[int(r["line_b"])].append((i, int(r["lines_b"])))

    def owner(table, start, lines):
        found = table.get(start, [])
        same = [i for i, n in found if n == lines]
        return (same or [i for i, _ in found] or [None])[0]

    records = []
    with open(os.path.join(run_dir, "p.csv")) as f:
        for r in csv.DictReader(f):
            a0, la, lb = int(float(r["y_start"])), int(r["lines_a"]), int(r["lines_b"])
            b0 = a0 + (int(r["diff_lins"]) - (lb - la)) // 2
            records.append((owner(by_a, a0, la), owner(by_b, b0, lb), r["product_flag"], float(r["eq_diam_mm"])))
    wrong = [x for x in records if x[0] is not None and x[1] is not None and x[0] != x[1]]
    b_taken_by = {b: a for a, b, _, _ in records if b is not None}
    starts = collections.Counter()
    for a, _, _, _ in wrong:
        seen = set()
        while a in b_taken_by and b_taken_by[a] not in (None, a) and a not in seen:
            seen.add(a)
            a = b_taken_by[a]
        if a in seen:
            starts["cycle"] += 1
        elif a in b_taken_by:
            starts["own B image taken by an image of no single drop"] += 1
        else:
            starts["own B image unused, drop whole" if whole.get(a) else "own B image unused, drop cut"] += 1
    implausible = sum(1 for x in wrong if x[2] == "1")
    print("%s: %d records, %d wrong pairs (%.1f %%), %d of them with an implausible speed; chains start: %s" % (
        os.path.basename(os.path.normpath(run_dir)), len(records), len(wrong), 100.0 * len(wrong) / max(len(records), 1),
        implausible, ", ".join("%s %d" % kv for kv in starts.most_common())))
    # Used records (plausible speed, uncut) below 1 mm per 0.125 mm bin: those that are not one
    # drop's own pair per own pair, what the stream factor adds to a bin.
    own, other = collections.Counter(), collections.Counter()
    for a, b, flag, d in records:
        if flag == "0" and d < 1:
            (own if a is not None and a == b else other)[int(d / 0.125)] += 1
    print("  used records not a drop's own pair, per own pair: %s" % ", ".join(
        "%.3f-%.3f mm %.3f" % (k * 0.125, (k + 1) * 0.125, other[k] / own[k]) for k in sorted(own) if own[k] >= 100))


def main():
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    for run_dir in sys.argv[2:]:
        analyse(os.path.abspath(sys.argv[1]), run_dir)


if __name__ == "__main__":
    main()
