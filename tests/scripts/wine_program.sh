#!/usr/bin/env bash
# Runs one Windows test program of this tree under Wine, in the test run's
# prefix (ODFLSH_WINEPREFIX), with the environment every Wine run here has;
# skipped like every other test of the tree where ARCH cannot run here:
#   wine_program.sh ARCH WINE PROGRAM [ARG...]
set -u

source "$(dirname "${BASH_SOURCE[0]}")/wine_env.sh"

usage="usage: wine_program.sh <i686|x86_64> <wine> <program> [arg...]"
arch=${1:?$usage}
wine_setup "$arch" "${2:?$usage}"
program=${3:?$usage}
shift 3
wine_work_folder
wine_use_prefix "$work/prefix"
"$wine" "$program" "$@"
