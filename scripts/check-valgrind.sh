#!/usr/bin/env bash
# The GoogleTest suite and the tour under valgrind: no error, no leak.
set -euo pipefail
cd "$(dirname "$0")/.."

[ -x build/ci/tests/ffiref_tests ] || scripts/check-host.sh
memcheck=(valgrind --quiet --leak-check=full --show-leak-kinds=definite,indirect
          --errors-for-leak-kinds=definite,indirect --error-exitcode=9)
"${memcheck[@]}" build/ci/tests/ffiref_tests --gtest_brief=1
# That program replaces operator new itself; valgrind must not replace it
# again, or the library would bypass the program's failing allocator.
"${memcheck[@]}" --soname-synonyms=somalloc=nouserintercepts \
  build/ci/tests/ffiref_allocation_tests --gtest_brief=1
"${memcheck[@]}" build/ci/examples/tour build/ci/libffiref.so >/dev/null
echo "valgrind: no errors, no leaks"
