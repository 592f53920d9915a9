#!/usr/bin/env bash
# Builds and tests ffiref for other Linux ABIs under qemu-user: configure,
# build and the whole ctest suite (GoogleTest cases, the shared-object check,
# the layout data check) per preset, then one summary line per ABI.
#
# usage: scripts/check-cross.sh [abi...]   (no abi: all of them)
#        abi: powerpc s390x aarch64 armhf i686
set -uo pipefail
cd "$(dirname "$0")/.."

ALL_ABIS=(powerpc s390x aarch64 armhf i686)
abis=("$@")
[ ${#abis[@]} -gt 0 ] || abis=("${ALL_ABIS[@]}")

scripts/install-deps.sh host cross || exit 1

jobs=$(nproc)
mkdir -p build
summary=()
failed=0
for abi in "${abis[@]}"; do
  echo
  echo "======== cross: $abi"
  log="build/$abi-check.log"
  : >"$log"
  started=$(date +%s)
  status=0
  phases=""
  for phase in configure build test; do
    case $phase in
      configure) command=(cmake --preset "$abi") ;;
      build) command=(cmake --build --preset "$abi" -j "$jobs") ;;
      test) command=(ctest --preset "$abi" -j "$jobs") ;;
    esac
    begun=$(date +%s)
    "${command[@]}" >>"$log" 2>&1 || status=$?
    phases+="${phases:+, }$phase $(($(date +%s) - begun))s"
    [ "$status" -eq 0 ] || break
  done
  seconds=$(($(date +%s) - started))
  result=$(grep -E '^[0-9]+% tests passed' "$log" | tail -1)
  if [ "$status" -eq 0 ]; then
    tail -n 4 "$log"
    summary+=("$(printf 'PASS  %-8s %4ss  (%s)  %s' "$abi" "$seconds" "$phases" "$result")")
  else
    tail -n 200 "$log"
    failed=$((failed + 1))
    summary+=("$(printf 'FAIL  %-8s %4ss  (%s)  %s' "$abi" "$seconds" "$phases" "${result:-no test result}")")
  fi
done

echo
echo "======== cross summary"
printf '%s\n' "${summary[@]}"
[ "$failed" -eq 0 ]
