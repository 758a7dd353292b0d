#!/usr/bin/env bash
# Installs what is missing (tools/install_deps.sh), builds the linux preset
# (whose odflsh-sim the Wine tests compare with), then builds each preset and
# runs the tests its test preset selects by label:
#   asan          unit and program tests under AddressSanitizer/UBSan;
#   mingw-i686    the 32-bit Windows build, its tests under Wine;
#   mingw-x86_64  the 64-bit Windows build, its tests under Wine;
#   fuzz          the fuzz targets (clang, libFuzzer), each a short run over
#                 its seed corpus;
#   linux         the native build's unit and program tests (the last CTest
#                 summary printed).
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

step "dependencies"
run bash tools/install_deps.sh

# The Windows runs under Wine are compared with the native tree's odflsh-sim.
step "linux: configure and build (the Wine tests compare with its odflsh-sim)"
run cmake --preset linux
run cmake --build --preset linux -j "$jobs"

for preset in asan mingw-i686 mingw-x86_64 fuzz linux; do
  step "$preset: configure and build"
  run cmake --preset "$preset"
  run cmake --build --preset "$preset" -j "$jobs"
  step "$preset: tests"
  run ctest --preset "$preset" -j "$jobs"
done
