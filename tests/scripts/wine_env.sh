# Shared by the scripts that run the Windows build under Wine (sourced, not
# run).
#
#   wine_setup ARCH WINE   checks that Wine (the loader of ARCH), Xvfb and
#                          xdotool are installed, saying what is missing, and
#                          exports the environment of every Wine run here;
#                          for i686, first ends the test as skipped (exit
#                          code 77) when this machine cannot run 32-bit
#                          programs (wine_can_run_32bit).
#   wine_can_run_32bit WINE  whether this machine's kernel executes the 32-bit
#                          loader WINE; ODFLSH_RUN_32BIT=yes or no overrides
#                          the probe (no: the skip path on any machine).
#   wine_work_folder       makes the test's temporary folder $work, removed
#                          with the test's Wine server when the script ends.
#   wine_use_prefix DIR    points WINEPREFIX at the prefix of this test run:
#                          the one the CTest fixture made (ODFLSH_WINEPREFIX),
#                          or, for a script run by hand, a new one in DIR.
#   wine_make_prefix DIR   creates a prefix in DIR (10 to 25 s here).
#   wine_windows_version V sets the Windows version the prefix reports
#                          ("win98"), or Wine's own default with "default".

missing() {
  echo "FAIL: $* is not installed (bash tools/install_deps.sh installs it)"
  exit 1
}

# The exit code that CTest reports as a skipped test (SKIP_RETURN_CODE).
readonly wine_skipped=77

wine_can_run_32bit() {
  case ${ODFLSH_RUN_32BIT:-auto} in
    yes) return 0 ;;
    no)
      why="ODFLSH_RUN_32BIT=no: taken for a machine whose kernel cannot run 32-bit programs"
      return 1
      ;;
    auto) ;;
    *) echo "FAIL: ODFLSH_RUN_32BIT must be yes, no or auto, not '$ODFLSH_RUN_32BIT'"; exit 1 ;;
  esac
  local out rc
  out=$("$1" --version 2>&1)
  rc=$?
  # The shell reports 126 when the kernel refuses the binary's format, which
  # is what a kernel built without 32-bit emulation does.
  if ((rc == 126)) || [[ $out == *"Exec format error"* ]]; then
    why="this machine's kernel cannot run 32-bit programs ($1: Exec format error)"
    return 1
  fi
  return 0
}

wine_setup() {
  local arch=$1
  wine=$2
  command -v "$wine" >/dev/null 2>&1 || missing "$wine"
  if [[ $arch == i686 ]] && ! wine_can_run_32bit "$wine"; then
    echo "SKIP: $why; the 32-bit Windows build is not run here"
    exit "$wine_skipped"
  fi
  command -v wineserver >/dev/null 2>&1 || missing wineserver
  # Debian splits the loaders: wine32 runs 32-bit programs, wine64 64-bit ones.
  if [[ -d /usr/lib/wine ]]; then
    case $arch in
      i686) [[ -x /usr/lib/wine/wine ]] || missing wine32 ;;
      x86_64) [[ -x /usr/lib/wine/wine64 ]] || missing wine64 ;;
    esac
  fi
  command -v xvfb-run >/dev/null 2>&1 || missing "xvfb-run (package xvfb)"
  command -v xauth >/dev/null 2>&1 || missing xauth
  command -v xdotool >/dev/null 2>&1 || missing xdotool

  # A plain 32-bit prefix is quicker to create than a 64-bit one, and runs the
  # i686 build as a 32-bit Windows would.
  case $arch in
    i686) export WINEARCH=win32 ;;
    x86_64) export WINEARCH=win64 ;;
    *) echo "FAIL: unknown arch $arch"; exit 1 ;;
  esac
  export WINEDEBUG=-all
  # No Mono/Gecko install prompts while the prefix is set up.
  export WINEDLLOVERRIDES="mscoree,mshtml="
  export HOME=${HOME:-${TMPDIR:-/tmp}}
  unset DISPLAY WAYLAND_DISPLAY
}

wine_make_prefix() {
  export WINEPREFIX=$1
  local started=$SECONDS
  mkdir -p "$WINEPREFIX"
  if ! "$wine" wineboot --init >"$WINEPREFIX.log" 2>&1; then
    echo "FAIL: the Wine prefix could not be created in $WINEPREFIX"
    cat "$WINEPREFIX.log"
    exit 1
  fi
  # Xvfb runs no window manager, so Wine would wait 2 s after each closed box
  # for a manager to withdraw its window; unmanaged windows close at once.
  "$wine" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1
  # wineboot and reg return before their server has written everything out.
  wineserver -w
  echo "prefix ($WINEARCH) ready after $((SECONDS - started))s"
}

wine_work_folder() {
  work=$(mktemp -d)
  trap 'wineserver -k >/dev/null 2>&1; rm -rf "$work"' EXIT
}

wine_use_prefix() {
  if [[ -n ${ODFLSH_WINEPREFIX:-} ]]; then
    if [[ ! -f $ODFLSH_WINEPREFIX/system.reg ]]; then
      echo "FAIL: no Wine prefix in $ODFLSH_WINEPREFIX (its CTest fixture makes it)"
      exit 1
    fi
    export WINEPREFIX=$ODFLSH_WINEPREFIX
  else
    wine_make_prefix "$1"
  fi
}

wine_windows_version() {
  if [[ $1 == default ]]; then
    "$wine" reg delete 'HKCU\Software\Wine' /v Version /f >/dev/null 2>&1
  else
    "$wine" reg add 'HKCU\Software\Wine' /v Version /d "$1" /f >/dev/null 2>&1 || {
      echo "FAIL: Wine would not take Windows version $1"
      exit 1
    }
  fi
  return 0
}
