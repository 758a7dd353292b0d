#!/usr/bin/env bash
# Builds and runs every test:
#   1. the unit and program tests under AddressSanitizer/UBSan (preset asan;
#      the Wine tests are left to step 3);
#   2. both Windows builds with MinGW-w64, when its compilers are installed;
#   3. the native build (preset linux) and all its tests, the Wine runs of the
#      two Windows builds included. Its CTest summary is the last output.
# Stops at the first step that fails, with a non-zero exit code.
set -uo pipefail

cd "$(dirname "${BASH_SOURCE[0]}")/.." || exit 1
jobs=2
SECONDS=0

step() {
  echo
  echo "==== $* ($((SECONDS / 60))m$((SECONDS % 60))s)"
}

run() {
  "$@" && return 0
  local rc=$?
  echo
  echo "FAILED (exit code $rc): $*"
  exit "$rc"
}

step "asan: configure and build"
run cmake --preset asan
run cmake --build --preset asan -j "$jobs"
step "asan: tests"
run ctest --preset asan -j "$jobs" -E '^wine_'

for arch in i686 x86_64; do
  compiler=$arch-w64-mingw32-g++
  if command -v "$compiler" >/dev/null 2>&1; then
    step "mingw-$arch: configure and build"
    run cmake --preset "mingw-$arch"
    run cmake --build --preset "mingw-$arch" -j "$jobs"
  else
    step "mingw-$arch: skipped, $compiler not found"
    # A program left from an earlier build would be tested in place of this tree.
    rm -f "build/mingw-$arch/odflsh.exe"
  fi
done

step "linux: configure and build"
run cmake --preset linux
run cmake --build --preset linux -j "$jobs"
step "linux: tests, the Wine runs included"
run ctest --preset linux -j "$jobs"
