#!/usr/bin/env bash
# Runs a Windows x64 program under wine64 and exits with its exit code.
#
# usage: scripts/wine-run.sh PREFIX PROGRAM.exe [ARG...]
#
# PREFIX is a private wine prefix (created on first use, under the build
# directory). The program's output goes to files and is copied out once it
# ends: wine's helper processes outlive the program and would keep a pipe
# open, so whoever reads our output (ctest) would wait forever.
set -uo pipefail

prefix=$1
shift
wine=${FFIREF_WINE64:-/usr/lib/wine/wine64}
export WINEPREFIX=$prefix WINEDEBUG=-all
# No Mono or Gecko installers, no window.
export WINEDLLOVERRIDES="mscoree,mshtml=" DISPLAY=

mkdir -p "$prefix"
# Only one run creates the prefix; the others wait for it.
ready=$prefix/.ready
if [ ! -f "$ready" ]; then
  (
    flock 9
    if [ ! -f "$ready" ]; then
      "$wine" wineboot --init >"$prefix.log" 2>&1 </dev/null && touch "$ready"
      # Its server lingers only briefly; let it go before starting ours.
      "$(dirname "$wine")/wineserver" -w
    fi
  ) 9>"$prefix.lock"
fi

# A server that outlives each program by some seconds spares the next test
# program its start-up; a second call finds it running and does nothing.
"$(dirname "$wine")/wineserver" -p10 >/dev/null 2>&1 </dev/null

output=$(mktemp)
errors=$(mktemp)
trap 'rm -f "$output" "$errors"' EXIT
"$wine" "$@" >"$output" 2>"$errors" </dev/null
status=$?
# A failure without a single byte of output is wine's own start failing (a
# client can meet a server that is just shutting down; WINEDEBUG=-all hides
# wine's message): one more try. A program that fails in silence fails twice.
if [ "$status" -ne 0 ] && [ ! -s "$output" ] && [ ! -s "$errors" ]; then
  sleep 1
  "$wine" "$@" >"$output" 2>"$errors" </dev/null
  status=$?
fi
cat "$output"
cat "$errors" >&2
exit "$status"
