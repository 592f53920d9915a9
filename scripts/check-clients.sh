#!/usr/bin/env bash
# Drives the built library through five real FFI callers (tests/clients/):
# Python ctypes, Python cffi in ABI mode, libffi from C, Koffi on Node.js and
# LuaJIT. Each loads build/ci/libffiref.so by path, runs the shared cases of
# tests/clients/cases.json and prints "N passed, N failed"; this script prints
# each caller's line with its time and fails when any caller fails.
set -uo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh host clients || exit 1
# Debian's nodejs needs its npm package; a nodejs that ships npm already does not.
command -v npm >/dev/null || scripts/install-deps.sh npm || exit 1

library=$PWD/build/ci/libffiref.so
{ [ -f build/ci/CMakeCache.txt ] || cmake --preset ci >/dev/null; } &&
  cmake --build --preset ci -j 2 >/dev/null || { echo "building the library failed"; exit 1; }

# Koffi, pinned by tests/clients/koffi/package-lock.json; npm ci only when
# node_modules is missing or older than the lock.
koffi=tests/clients/koffi
if [ ! "$koffi/node_modules/.package-lock.json" -nt "$koffi/package-lock.json" ]; then
  (cd "$koffi" && npm ci --no-audit --no-fund --loglevel=error) || { echo "npm ci failed"; exit 1; }
fi

# The libffi caller is a C program; it dlopen()s the library like the others.
mkdir -p build/clients
cc -std=c11 -D_POSIX_C_SOURCE=200809L -O1 -Wall -Wextra -Wpedantic -Werror \
  -DFFIREF_ROOT="\"$PWD\"" tests/clients/libffi/client.c \
  $(pkg-config --cflags --libs libffi libcjson) -ldl -lm -o build/clients/libffi-client ||
  { echo "building the libffi caller failed"; exit 1; }

# The libffi caller once more under valgrind: a node or string released with
# the wrong operator (free, delete vs delete[]) or not at all shows up there.
callers=(ctypes cffi libffi koffi luajit libffi+valgrind)
declare -A commands=(
  [ctypes]="/usr/bin/python3 tests/clients/python/ctypes_client.py"
  [cffi]="/usr/bin/python3 tests/clients/python/cffi_client.py"
  [libffi]="build/clients/libffi-client"
  [koffi]="node tests/clients/koffi/client.js"
  [luajit]="luajit tests/clients/luajit/client.lua"
  [libffi+valgrind]="valgrind -q --leak-check=full --errors-for-leak-kinds=definite --error-exitcode=9 build/clients/libffi-client"
)

failed=0
summary=()
for caller in "${callers[@]}"; do
  echo "---- $caller"
  started=$(date +%s%N)
  ${commands[$caller]} "$library" 2>&1 | tee "build/clients/$caller.log"
  status=${PIPESTATUS[0]}
  milliseconds=$((($(date +%s%N) - started) / 1000000))
  line=$(tail -n 1 "build/clients/$caller.log")
  # A caller that dies before its summary line fails too.
  if [ "$status" -ne 0 ] || ! [[ $line =~ ^[0-9]+\ passed,\ 0\ failed ]]; then
    failed=1
    line="$line (exit $status)"
  fi
  summary+=("$(printf '%-15s %-36s %6d ms' "$caller" "$line" "$milliseconds")")
done

echo "---- callers"
printf '%s\n' "${summary[@]}"
exit "$failed"
