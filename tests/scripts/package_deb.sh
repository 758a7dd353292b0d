#!/usr/bin/env bash
# The Debian package of this tree, made by CPack and unpacked into a scratch
# root (the machine's own package database is left alone): its name and
# control fields, that it holds the program, the man page and the README and
# nothing of the test fixtures, that the installed program runs and prints
# this tree's version, and that `man -l` renders the page.
set -euo pipefail

tree=${1:?usage: package_deb.sh <build-tree>}
tree=$(cd "$tree" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

fail() { echo "FAIL: $*" >&2; exit 1; }

cpack --config "$tree/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1 ||
  { cat "$work/cpack.log" >&2; fail "cpack failed"; }
version=$("$tree/odflsh" --version | sed 's/^odflsh //')
deb="$work/out/odflsh_${version}_amd64.deb"
[[ -f $deb ]] || fail "no $(basename "$deb"); made: $(ls "$work/out")"

control=$(dpkg-deb --field "$deb")
echo "$control"
grep -qx "Package: odflsh" <<<"$control" || fail "package name"
grep -qx "Version: $version" <<<"$control" || fail "version"
grep -qx "Architecture: amd64" <<<"$control" || fail "architecture"
grep -q "^Depends: .*libc6" <<<"$control" || fail "no dependency on libc6 (dpkg-shlibdeps)"
grep -q "^Depends: .*libstdc++6" <<<"$control" || fail "no dependency on libstdc++6"
grep -q "^Depends: .*libsystemd0" <<<"$control" || fail "no dependency on libsystemd0 (the logind inhibitor)"

files=$(dpkg-deb --contents "$deb" | awk '{print $6}' | grep -v '/$')
expected=$'./usr/bin/odflsh\n./usr/share/doc/odflsh/README.md\n./usr/share/man/man1/odflsh.1'
[[ $(sort <<<"$files") == "$expected" ]] || fail "contents differ:"$'\n'"$files"

dpkg-deb -x "$deb" "$work/root"
installed=$("$work/root/usr/bin/odflsh" --version)
[[ $installed == "odflsh $version" ]] || fail "installed odflsh --version said '$installed'"

# A locale warning on a bare machine is no fault of the page; the headings decide.
page=$(MANWIDTH=80 man -l "$work/root/usr/share/man/man1/odflsh.1" 2>"$work/man.err") ||
  { cat "$work/man.err" >&2; fail "man -l failed"; }
cat "$work/man.err" >&2
for heading in NAME SYNOPSIS DESCRIPTION OPTIONS "EXIT STATUS" FILES EXAMPLES SAFETY; do
  grep -q "^$heading" <<<"$page" || fail "the page has no $heading"
done
for option in --list --json --yes --help --version; do
  grep -q -- "$option" <<<"$page" || fail "the page does not name $option"
done
grep -q "odflsh $version" <<<"$page" || fail "the page does not carry version $version"
echo "PASS: $(basename "$deb")"
