#!/usr/bin/env bash
# The Wine prefix shared by the Windows build's tests of one test run (their
# CTest fixture), so the prefix is made once per run, not once per test:
#   wine_prefix.sh create DIR ARCH WINE   makes it afresh in DIR;
#   wine_prefix.sh remove DIR [ARCH WINE] ends its server and deletes it
#                                         (skipped, as every test of the
#                                         tree, where ARCH cannot run here).
set -u

source "$(dirname "${BASH_SOURCE[0]}")/wine_env.sh"

usage="usage: wine_prefix.sh create DIR ARCH WINE | remove DIR [ARCH WINE]"
case ${1:-} in
  create)
    dir=${2:?$usage}
    wine_setup "${3:?$usage}" "${4:?$usage}"
    rm -rf "$dir" "$dir.log"
    wine_make_prefix "$dir"
    ;;
  remove)
    dir=${2:?$usage}
    if [[ -d $dir ]]; then
      WINEPREFIX=$dir wineserver -k >/dev/null 2>&1
      rm -rf "$dir" "$dir.log"
    fi
    if [[ ${3:-} == i686 ]] && ! wine_can_run_32bit "${4:?$usage}"; then
      echo "SKIP: $why; the 32-bit Windows build is not run here"
      exit "$wine_skipped"
    fi
    ;;
  *)
    echo "$usage"
    exit 2
    ;;
esac
