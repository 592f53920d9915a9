#!/usr/bin/env bash
# Installs what the tests need, idempotently: only missing Debian packages are
# installed, so a second run takes a second.
#
# usage: scripts/install-deps.sh [group...]   (no group: every group)
set -euo pipefail

declare -A GROUPS_PACKAGES=(
  [host]="cmake g++ make libgtest-dev python3 binutils valgrind clang-format"
  [cross]="qemu-user locales g++-powerpc-linux-gnu g++-s390x-linux-gnu g++-aarch64-linux-gnu g++-arm-linux-gnueabihf g++-i686-linux-gnu"
  [windows]="g++-mingw-w64-i686 g++-mingw-w64-x86-64 wine64"
  [clients]="python3-cffi libffi-dev libcjson-dev pkg-config luajit lua-cjson nodejs"
  [npm]="npm"
  [install]="cmake g++ pkg-config binutils"
  [sanitizers]="clang libclang-rt-14-dev"
  [abi]="abigail-tools"
  [bench]="libbenchmark-dev python3-numpy"
)
ALL_GROUPS=(host cross windows clients install sanitizers abi bench)

groups=("$@")
[ ${#groups[@]} -gt 0 ] || groups=("${ALL_GROUPS[@]}")

missing=()
for group in "${groups[@]}"; do
  [ -n "${GROUPS_PACKAGES[$group]+set}" ] || { echo "install-deps: unknown group $group" >&2; exit 2; }
  for package in ${GROUPS_PACKAGES[$group]}; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'ok installed' || missing+=("$package")
  done
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "install-deps: installing ${missing[*]}"
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get update -q
  $sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
