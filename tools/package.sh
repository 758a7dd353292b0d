#!/usr/bin/env bash
# Makes the release packages in build/packages: the Debian package of the
# Linux program (odflsh_<version>_amd64.deb, from the linux preset) and one
# ZIP of the two Windows programs (odflsh-<version>-windows.zip, from the
# MinGW presets). Builds only the programs, not the tests.
set -euo pipefail

cd "$(dirname "${BASH_SOURCE[0]}")/.."
out=build/packages
mkdir -p "$out"

for preset in linux mingw-i686 mingw-x86_64; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" --target odflsh
done

cpack --config build/linux/CPackConfig.cmake -B "$out"
# Either MinGW tree's configuration packs both trees.
cpack --config build/mingw-x86_64/CPackConfig.cmake -B "$out"
rm -rf "$out/_CPack_Packages"
ls -l "$out"
