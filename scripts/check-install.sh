#!/usr/bin/env bash
# Installs the ci build into a temporary prefix, then builds and runs a small
# consumer (tests/install/) against it twice: with find_package(ffiref CONFIG)
# and with pkg-config. The library has no SONAME and no RPATH, so the
# consumers find it at run time through LD_LIBRARY_PATH.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh host install

{ [ -f build/ci/CMakeCache.txt ] || cmake --preset ci >/dev/null; }
cmake --build --preset ci -j 2 >/dev/null

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
cmake --install build/ci --prefix "$prefix" | sed "s|$work|<tmp>|"
library=$(find "$prefix" -name libffiref.so)
libdir=$(dirname "$library")

passed=0
failed=0
run() { # name, command...: one check; its output is shown when it fails
  local name=$1
  shift
  if "$@" >"$work/log" 2>&1; then
    passed=$((passed + 1))
    echo "ok   $name"
  else
    failed=$((failed + 1))
    echo "FAIL $name"
    sed 's/^/     /' "$work/log"
  fi
}

run "no SONAME in the installed library" \
  bash -c "! readelf -d '$library' | grep -q SONAME"
run "header installed" test -f "$prefix/include/ffiref.h"

# find_package(ffiref CONFIG) -> ffiref::ffiref
run "find_package: configure" cmake -S tests/install -B "$work/cmake" -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_BUILD_TYPE=Release -Wno-dev
run "find_package: build" cmake --build "$work/cmake"
run "find_package: consumer runs" env LD_LIBRARY_PATH="$libdir" "$work/cmake/consumer"
sed 's/^/     /' "$work/log"
run "find_package: a 2.0 request is refused" bash -c "! cmake -S tests/install -B '$work/cmake2' \
  -DCMAKE_PREFIX_PATH='$prefix' -DFFIREF_WANTED_VERSION=2.0 >/dev/null 2>&1"

# pkg-config
export PKG_CONFIG_PATH=$libdir/pkgconfig
run "pkg-config: version" test "$(pkg-config --modversion ffiref)" = "1.0.0"
echo "     pkg-config --cflags --libs ffiref: $(pkg-config --cflags --libs ffiref | sed "s|$work|<tmp>|g")"
run "pkg-config: build" bash -c "cc -std=c99 -Wall -Wextra -Werror tests/install/consumer.c \
  \$(pkg-config --cflags --libs ffiref) -o '$work/pkg-consumer'"
run "pkg-config: consumer runs" env LD_LIBRARY_PATH="$libdir" "$work/pkg-consumer"
sed 's/^/     /' "$work/log"

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
