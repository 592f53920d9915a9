#!/usr/bin/env bash
# Runs every check of ffiref, stage by stage, and ends with a summary line
# "N passed, N failed" over the stages. Missing tools are installed first.
#
# usage: scripts/test.sh            every stage (what CI runs)
#        scripts/test.sh --quick    host build and tests only
#        scripts/test.sh STAGE...   the named stages (see FULL_STAGES)
#
# Stage X is scripts/check-X.sh; each one exits non-zero on a failure.
set -uo pipefail
cd "$(dirname "$0")/.."

FULL_STAGES=(host valgrind cross sanitizers fuzz abi windows clients install)
QUICK_STAGES=(host)

case "${1:-}" in
  --quick) stages=("${QUICK_STAGES[@]}") ;;
  "") stages=("${FULL_STAGES[@]}") ;;
  -h | --help) sed -n '2,9p' "$0"; exit 0 ;;
  *) stages=("$@") ;;
esac

deps=(host)
[ "${1:-}" = "--quick" ] || deps=()
scripts/install-deps.sh "${deps[@]}" || { echo "0 passed, 1 failed"; exit 1; }

passed=0
failed=0
report=()
for stage in "${stages[@]}"; do
  script="scripts/check-$stage.sh"
  echo
  echo "======== $stage"
  started=$(date +%s)
  if [ ! -x "$script" ]; then
    echo "no such stage: $stage ($script)"
    status=1
  else
    "$script"
    status=$?
  fi
  seconds=$(($(date +%s) - started))
  if [ "$status" -eq 0 ]; then
    passed=$((passed + 1))
    report+=("$(printf 'PASS  %-12s %5ss' "$stage" "$seconds")")
  else
    failed=$((failed + 1))
    report+=("$(printf 'FAIL  %-12s %5ss  (exit %s)' "$stage" "$seconds" "$status")")
  fi
done

echo
echo "======== summary"
printf '%s\n' "${report[@]}"
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
