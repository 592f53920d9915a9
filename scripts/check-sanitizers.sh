#!/usr/bin/env bash
# The GoogleTest suite and the tour built with clang under AddressSanitizer +
# UndefinedBehaviorSanitizer (preset asan), then under ThreadSanitizer (preset
# tsan). The first report of any sanitizer fails the stage.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh sanitizers

export ASAN_OPTIONS=halt_on_error=1:detect_leaks=1:detect_stack_use_after_return=1:strict_string_checks=1:check_initialization_order=1:detect_invalid_pointer_pairs=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
symbolizer=$(command -v llvm-symbolizer-14 || true)
if [ -n "$symbolizer" ]; then
  export ASAN_SYMBOLIZER_PATH=$symbolizer TSAN_SYMBOLIZER_PATH=$symbolizer
fi

for preset in asan tsan; do
  echo "---- $preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j 2
  ctest --preset "$preset" -j 2
  "build/$preset/examples/tour" "build/$preset/libffiref.so" >/dev/null
done
echo "sanitizers: no reports"
