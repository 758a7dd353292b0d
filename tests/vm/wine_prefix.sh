#!/usr/bin/env bash
# Makes the Wine prefix that the Windows programs run in on the test machine:
#   wine_prefix.sh DIR
# A 64-bit prefix, made here by the 64-bit loader (a prefix made in the guest
# takes minutes under TCG). Where this machine cannot run 32-bit programs,
# wineboot cannot fill syswow64; the 32-bit builtin DLLs are linked in
# instead, which is all the i686 program needs from it. Drive D: is the
# guest's first CD-ROM, and the Windows version is XP (the pass-through route).
set -eu

dir=${1:?usage: wine_prefix.sh DIR}
wine64=/usr/lib/wine/wine64
dlls32=/usr/lib/i386-linux-gnu/wine/i386-windows
[[ -x $wine64 ]] || { echo "FAIL: $wine64 is missing (package wine64)"; exit 1; }
[[ -d $dlls32 ]] || { echo "FAIL: $dlls32 is missing (package wine32:i386)"; exit 1; }

rm -rf "$dir"
mkdir -p "$dir"
export WINEPREFIX=$dir/prefix WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
export HOME=$dir/home
mkdir -p "$HOME"
unset DISPLAY WAYLAND_DISPLAY
SECONDS=0
"$wine64" wineboot --init >"$dir/wineboot.log" 2>&1 || { cat "$dir/wineboot.log"; exit 1; }
"$wine64" reg add 'HKCU\Software\Wine' /v Version /d winxp64 /f >/dev/null 2>&1
# No window manager on the virtual display: boxes close at once, unmanaged.
"$wine64" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1
wineserver -w
for dll in "$dlls32"/*; do
  ln -sf "$dll" "$WINEPREFIX/drive_c/windows/syswow64/"
done
ln -sfn /dev/sr0 "$WINEPREFIX/dosdevices/d::"
# Each run starts from these registry files, whatever the runs before it left.
mkdir -p "$dir/registry"
cp "$WINEPREFIX"/*.reg "$dir/registry/"
echo "prefix ready in $WINEPREFIX after ${SECONDS}s"
