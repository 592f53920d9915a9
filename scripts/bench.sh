#!/usr/bin/env bash
# Builds the `bench` preset (Release), runs the benchmark binary once, prints
# each target's ratio against its baseline from the same run and whether it
# is met, then compares findMinimum with numpy.min. Not part of scripts/test.sh:
# timings on a shared machine are noisy.
#
# usage: scripts/bench.sh [extra Google Benchmark flags...]
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh host bench
cmake --preset bench >/dev/null
cmake --build --preset bench -j 2 >/dev/null

results=build/bench/results.json
echo "cores: $(nproc); load average: $(cut -d' ' -f1-3 /proc/loadavg)"
build/bench/bench/ffiref_bench --benchmark_out="$results" --benchmark_out_format=json "$@" \
  >build/bench/results.txt
echo "full results: build/bench/results.txt, $results"
echo
status=0
/usr/bin/python3 bench/report.py "$results" || status=$?
echo
/usr/bin/python3 bench/numpy_min.py build/bench/libffiref.so || status=$?
exit "$status"
