#!/usr/bin/env bash
# Windows: the x86 (32-bit) DLL is built and checked statically (exports,
# calling conventions, imports); the x64 DLL gets the same checks and the
# whole GoogleTest suite under wine64.
#
# The 32-bit DLL is not run: this kernel starts no 32-bit x86 code, and
# wine's 32-bit loader would need qemu-i386 through binfmt_misc.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh windows

jobs=$(nproc)
prefix=$PWD/build/mingw-x64/wineprefix
# Whatever happens, stop the wine processes of our prefix.
trap 'WINEPREFIX=$prefix /usr/lib/wine/wineserver -k >/dev/null 2>&1 || true' EXIT

for preset in mingw-x86 mingw-x64; do
  echo "---- $preset"
  cmake --preset "$preset"
  cmake --build --preset "$preset" -j "$jobs"
  ctest --preset "$preset" -j "$jobs"
done
