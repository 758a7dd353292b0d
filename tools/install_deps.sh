#!/usr/bin/env bash
# Installs from Debian's archive every package the builds, the tests and the
# project's tools need, when any is missing; does nothing when all are there.
# apt runs directly as root, through sudo for any other user.
#   --dry-run   print what would be run, change nothing
set -euo pipefail

packages=(
  # native build and unit tests
  cmake make g++ libgtest-dev libgmock-dev python3
  # the logind inhibitor (sd-bus), and its tests: logind's mock on a private
  # system bus, run by Debian's python3
  libsystemd-dev pkg-config dbus-daemon python3-dbusmock
  # the Windows builds, run by Wine (32- and 64-bit loaders) on a virtual display
  g++-mingw-w64-i686 g++-mingw-w64-x86-64
  wine wine32:i386 wine64
  xvfb xauth xdotool
  # SCSI, benchmark, firmware-image and binary tools, and clang's sanitizer runtimes
  sg3-utils hyperfine srecord binutils clang-14 libclang-rt-14-dev
  # the Debian package (dpkg-shlibdeps, and file for CPack's look at the
  # binaries) and its man page, rendered by the package test
  dpkg-dev file man-db
  # the test machine: Debian's kernel under QEMU with a busybox initramfs
  qemu-system-x86 busybox-static cpio
)

dry_run=0
case ${1:-} in
  '') ;;
  --dry-run) dry_run=1 ;;
  *) echo "usage: $(basename "$0") [--dry-run]" >&2; exit 2 ;;
esac

installed() {
  [[ $(dpkg-query -W -f='${db:Status-Status}' "$1" 2>/dev/null) == installed ]]
}

missing=()
for package in "${packages[@]}"; do
  installed "$package" || missing+=("$package")
done

if ((${#missing[@]} == 0)); then
  echo "install_deps: all ${#packages[@]} packages present"
  exit 0
fi
echo "install_deps: installing ${missing[*]}"

sudo=()
if [[ $(id -u) -ne 0 ]]; then
  command -v sudo >/dev/null 2>&1 || {
    echo "install_deps: not root and sudo is missing; install as root: ${missing[*]}" >&2
    exit 1
  }
  sudo=(sudo)
fi

as_root() {
  local command=("${sudo[@]}" "$@")
  if ((dry_run)); then
    echo "+ ${command[*]}"
  else
    "${command[@]}"
  fi
}

# wine32 is an i386 package: its architecture must be known before apt's lists are read.
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  as_root dpkg --add-architecture i386
fi
as_root apt-get update
if as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y "${missing[@]}"; then
  exit 0
fi

# Where the kernel cannot run 32-bit programs, the i386 packages' post-install
# scripts and triggers print "Exec format error". Their files are in place
# all the same, and the 32-bit Wine loader is only used in a guest machine
# that can run it (the i686 tests skip themselves here), so such a failure
# must not end the install. Anything else still does.
echo "install_deps: apt-get install failed; finishing the configuration of what it unpacked" >&2
as_root env DEBIAN_FRONTEND=noninteractive dpkg --configure -a || true
unfinished=()
for package in "${packages[@]}"; do
  installed "$package" && continue
  if [[ $package == *:i386 ]] && dpkg-query -W "$package" >/dev/null 2>&1 && ! /usr/lib/wine/wine --version >/dev/null 2>&1; then
    echo "install_deps: $package is unpacked but not configured: this machine cannot run 32-bit programs" >&2
    continue
  fi
  unfinished+=("$package")
done
if ((${#unfinished[@]} > 0)); then
  echo "install_deps: not installed: ${unfinished[*]}" >&2
  exit 1
fi

