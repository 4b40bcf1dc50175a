"""Before/after comparison of two `bench_peers.py --json` runs of the same suite (for example
the same command run with two installed versions of the package, back to back).

Per router and topology kind: how many cases give identical SWAP counts, and the geometric mean
of the time ratio after/before (each ratio first normalised by the reference router's time in
its own run, so load on a shared machine cancels out), plus the raw time ratio.

Run: python bench/compare_runs.py before.json after.json [--reference qk-sabre-t1]
"""

import argparse
import json
from pathlib import Path

import peer_suite as suite


def ratio(values):
    mean = suite.geometric_mean(values)
    return "-" if mean is None else f"{mean:.2f}"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("before")
    parser.add_argument("after")
    parser.add_argument("--reference", default="qk-sabre-t1")
    args = parser.parse_args()
    before = {(r["case"], r["topology"]): r for r in json.loads(Path(args.before).read_text())}
    after = {(r["case"], r["topology"]): r for r in json.loads(Path(args.after).read_text())}
    keys = [k for k in before if k in after]
    runners = [
        name
        for name in next(iter(before.values()))
        if name not in ("case", "topology", "kind", args.reference)
    ]
    header = (
        f"{'router':<14}{'topology':<11}{'cases':>6}{'same swaps':>11}"
        f"{'time after/before':>19}{'normalised':>12}"
    )
    print(header)
    print("-" * len(header))
    for runner in runners:
        for kind in sorted({before[k]["kind"] for k in keys}) + ["all"]:
            rows = [k for k in keys if kind in ("all", before[k]["kind"])]
            ok = [
                k
                for k in rows
                if "error" not in before[k][runner] and "error" not in after[k][runner]
            ]
            same = sum(before[k][runner]["swaps"] == after[k][runner]["swaps"] for k in ok)
            raw = [after[k][runner]["seconds"] / before[k][runner]["seconds"] for k in ok]
            normalised = [
                (after[k][runner]["seconds"] / after[k][args.reference]["seconds"])
                / (before[k][runner]["seconds"] / before[k][args.reference]["seconds"])
                for k in ok
                if "error" not in before[k][args.reference]
                and "error" not in after[k][args.reference]
            ]
            print(
                f"{runner:<14}{kind:<11}{len(rows):>6}{f'{same}/{len(ok)}':>11}"
                f"{ratio(raw):>19}{ratio(normalised):>12}"
            )


if __name__ == "__main__":
    main()
