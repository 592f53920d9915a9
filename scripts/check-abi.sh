#!/usr/bin/env bash
# The frozen ABI: abidiff between the committed baseline abi/ffiref.abi and a
# fresh release build. Any change to an exported function's signature, to a
# public record's layout or to the export list fails until the baseline is
# deliberately updated.
#
# The build is the release one with debug info (preset abi: Release plus -g,
# source paths mapped to "." so the checkout's location does not show), and
# abidw keeps only what the public header declares and the library exports,
# without file locations or DT_NEEDED, so that compiler and path details do not
# make noise.
#
# To accept an intended change, regenerate the baseline and commit it:
#   scripts/check-abi.sh --update
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh abi

cmake --preset abi >/dev/null
cmake --build --preset abi -j 2

abidw_flags=(--no-corpus-path --no-comp-dir-path --no-show-locs --no-elf-needed
             --headers-dir include --drop-private-types --exported-interfaces-only)
fresh=build/abi/ffiref.abi
abidw "${abidw_flags[@]}" --out-file "$fresh" build/abi/libffiref.so

if [ "${1:-}" = "--update" ]; then
  cp "$fresh" abi/ffiref.abi
  echo "abi: baseline abi/ffiref.abi updated; review and commit it"
  exit 0
fi

if abidiff --no-show-locs abi/ffiref.abi "$fresh"; then
  echo "abi: no change against abi/ffiref.abi"
else
  status=$?
  echo "abi: the ABI differs from abi/ffiref.abi (abidiff exit $status)"
  echo "     (intended? run scripts/check-abi.sh --update and commit the baseline)"
  exit 1
fi
