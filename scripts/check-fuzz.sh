#!/usr/bin/env bash
# Builds the libFuzzer targets (preset fuzz: clang, ASan + UBSan) and runs each
# one for a bounded time on a scratch copy of its seed corpus, so the repository
# is left as it was. Any crash, sanitizer report or disagreement between the
# library and a target's model fails the stage; the input that caused it is kept
# in build/fuzz/artifacts/.
#
# usage: scripts/check-fuzz.sh [TARGET...]    (FUZZ_SECONDS=30 per target)
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh sanitizers
seconds=${FUZZ_SECONDS:-30}
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(fuzz_narrow_string fuzz_wide_strings fuzz_doubles fuzz_records)

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j 2

export ASAN_OPTIONS=halt_on_error=1:detect_leaks=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
symbolizer=$(command -v llvm-symbolizer-14 || true)
[ -z "$symbolizer" ] || export ASAN_SYMBOLIZER_PATH=$symbolizer

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
mkdir -p build/fuzz/artifacts
for target in "${targets[@]}"; do
  cp -r "fuzz/corpus/$target" "$scratch/$target"
  echo "---- $target, ${seconds} s"
  if ! "build/fuzz/fuzz/$target" -max_total_time="$seconds" -print_final_stats=1 \
      -artifact_prefix="build/fuzz/artifacts/$target-" "$scratch/$target" \
      >"$scratch/$target.log" 2>&1; then
    tail -n 60 "$scratch/$target.log"
    echo "fuzz: $target failed"
    exit 1
  fi
  grep -E '^(Done|stat::(number_of_executed_units|average_exec_per_sec|peak_rss_mb))' \
    "$scratch/$target.log"
done
echo "fuzz: no faults"
