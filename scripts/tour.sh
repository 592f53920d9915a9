#!/usr/bin/env bash
# Builds the library and runs the tour, which loads it by path.
set -euo pipefail
cd "$(dirname "$0")/.."

cmake --preset default >/dev/null
cmake --build --preset default -j "$(nproc)" >/dev/null
build/default/examples/tour build/default/libffiref.so
