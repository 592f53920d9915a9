"""Reads the JSON output of ffiref_bench and prints, for every target, the
ratio between the library and its baseline and whether the target is met.

usage: report.py RESULTS.json     exit status 1 when a target is missed
"""
import json
import statistics
import sys

# (what, library benchmark, baseline benchmark, kind, bound)
#   "speedup": baseline time / library time must be >= bound
#   "slowdown": library time / baseline time must be <= bound
TARGETS = [
    ("findMinimum, 16 Mi random doubles vs streaming read",
     "FindMinimum/random16Mi", "StreamingRead/random16Mi", "speedup", 0.85),
    ("findMinimum, 16 Mi with NaNs and +-0 vs streaming read",
     "FindMinimum/mixed16Mi", "StreamingRead/mixed16Mi", "speedup", 0.85),
    ("findMinimum, 32 Ki with NaNs and +-0 vs literal loop",
     "FindMinimum/mixed32Ki", "LiteralFindMinimum/mixed32Ki", "speedup", 4.0),
    ("removeDuplicates, 100 000 of 100 distinct vs literal",
     "RemoveDuplicates/distinct100", "LiteralRemoveDuplicates/distinct100", "speedup", 50.0),
    ("removeDuplicates, 100 000 copies of one value vs literal",
     "RemoveDuplicates/oneValue", "LiteralRemoveDuplicates/oneValue", "speedup", 50.0),
    ("removeDuplicatesFromString, 32 KiB English vs literal",
     "RemoveDuplicatesFromString/english32Ki",
     "LiteralRemoveDuplicatesFromString/english32Ki", "speedup", 20.0),
    ("removeDuplicatesFromString, 64 KiB random vs literal",
     "RemoveDuplicatesFromString/random64Ki",
     "LiteralRemoveDuplicatesFromString/random64Ki", "speedup", 20.0),
    ("removeDuplicatesFromString, 64 KiB random vs early-stop scan",
     "RemoveDuplicatesFromString/random64Ki",
     "EarlyStopRemoveDuplicatesFromString/random64Ki", "speedup", 3.0),
    ("findLongest, 100 000 strings vs literal",
     "FindLongest/list100k", "LiteralFindLongest/list100k", "slowdown", 1.1),
    ("convert, 100 000 strings vs literal",
     "Convert/list100k", "LiteralConvert/list100k", "slowdown", 1.1),
]

# Shown for information, without a target.
EXTRA = [
    ("findMinimum, 16 Mi random doubles vs literal loop",
     "FindMinimum/random16Mi", "LiteralFindMinimum/random16Mi"),
    ("findMinimum, 16 Mi with NaNs and +-0 vs literal loop",
     "FindMinimum/mixed16Mi", "LiteralFindMinimum/mixed16Mi"),
    ("findMinimum, 32 Ki with NaNs and +-0: streaming read vs literal loop",
     "StreamingRead/mixed32Ki", "LiteralFindMinimum/mixed32Ki"),
    ("removeDuplicatesFromString, 32 KiB English vs early-stop scan",
     "RemoveDuplicatesFromString/english32Ki",
     "EarlyStopRemoveDuplicatesFromString/english32Ki"),
]


UNITS = {"ns": 1.0, "us": 1e3, "ms": 1e6, "s": 1e9}


def cpu_times(path):
    """CPU time of every repetition, per benchmark. CPU time, not wall time:
    on a shared machine a descheduled thread would otherwise count against
    whichever side happened to run at that moment."""
    with open(path) as f:
        runs = json.load(f)["benchmarks"]
    times = {}
    for run in runs:
        if run.get("run_type", "iteration") != "iteration":
            continue
        name = "/".join(part for part in run["name"].split("/")
                        if not part.startswith(("repeats:", "iterations:")))
        scale = UNITS[run.get("time_unit", "ns")]
        times.setdefault(name, []).append(run["cpu_time"] * scale)
    return times


def main():
    runs = cpu_times(sys.argv[1])
    # The verdict uses the median repetition; the ratio of the fastest
    # repetitions is shown beside it as a view of the noise.
    times = {name: statistics.median(values) for name, values in runs.items()}
    best = {name: min(values) for name, values in runs.items()}
    missed = 0
    print(f"{'target':<64} {'median':>9} {'bound':>8}  verdict  (fastest runs)")
    for what, library, baseline, kind, bound in TARGETS:
        if library not in times or baseline not in times:
            print(f"{what:<64} {'-':>9} {'-':>8}  NOT RUN")
            missed += 1
            continue
        if kind == "speedup":
            ratio = times[baseline] / times[library]
            fastest = best[baseline] / best[library]
            met = ratio >= bound
            shown = f">= {bound:g}x"
        else:
            ratio = times[library] / times[baseline]
            fastest = best[library] / best[baseline]
            met = ratio <= bound
            shown = f"<= {bound:g}x"
        missed += not met
        verdict = "met" if met else "MISSED"
        print(f"{what:<64} {ratio:>8.2f}x {shown:>8}  {verdict:<7}  ({fastest:.2f}x)")
    print()
    for what, library, baseline in EXTRA:
        if library in times and baseline in times:
            print(f"{what:<64} {times[baseline] / times[library]:>8.2f}x  faster")
    print()
    print(f"{len(TARGETS) - missed} targets met, {missed} missed")
    return 1 if missed else 0


if __name__ == "__main__":
    sys.exit(main())
