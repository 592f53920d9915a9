#!/usr/bin/env bash
# Host build with warnings as errors, the GoogleTest suite, the shared-object
# checks and the tour.
set -euo pipefail
cd "$(dirname "$0")/.."

cmake --preset ci
cmake --build --preset ci -j "$(nproc)"
ctest --preset ci -j "$(nproc)"
build/ci/examples/tour build/ci/libffiref.so
