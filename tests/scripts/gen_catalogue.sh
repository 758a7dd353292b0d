#!/usr/bin/env bash
# The catalogue generator on a scratch copy of tools/ and core/: --check
# names each stale or missing file and writes nothing; an unknown option or
# argument gets the usage and exit code 2, also without writing; a plain run
# brings stale files back and leaves up-to-date ones untouched. Last, the
# repository's own generated files must be current.
set -u

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL $*"; failures=$((failures + 1)); }

generated=(core/message_codes.h core/catalogue_en.cpp core/catalogue_ja.cpp)

fresh_copy() {
  rm -rf "$work/tree"
  mkdir -p "$work/tree"
  cp -r "$repo/tools" "$repo/core" "$work/tree/"
}

# gen ARGS...: runs the copy's generator; exit code in $rc, stderr in $work/err.
gen() {
  python3 "$work/tree/tools/gen_catalogue.py" "$@" >"$work/out" 2>"$work/err"
  rc=$?
}

snapshot() { (cd "$work/tree" && md5sum "${generated[@]}" 2>/dev/null) >"$work/$1"; }
unchanged_since() { (cd "$work/tree" && md5sum -c --quiet "$work/$1" >/dev/null 2>&1); }

# A stale file of each kind, one at a time.
for file in "${generated[@]}"; do
  fresh_copy
  sed -i '0,/namespace odf {/s//namespace odf {  \/\/ edited by hand/' "$work/tree/$file"
  snapshot before
  gen --check
  [[ $rc -eq 1 ]] || fail "stale $file: --check exit code $rc, expected 1"
  grep -q "$file is out of date" "$work/err" || fail "stale $file: not named: $(cat "$work/err")"
  [[ $(grep -c 'is out of date\|is missing' "$work/err") -eq 1 ]] ||
    fail "stale $file: other files named too: $(cat "$work/err")"
  unchanged_since before || fail "stale $file: --check wrote a file"
  gen
  [[ $rc -eq 0 ]] || fail "stale $file: plain run exit code $rc"
  gen --check
  [[ $rc -eq 0 ]] || fail "stale $file: still stale after a plain run: $(cat "$work/err")"
done

fresh_copy
rm "$work/tree/core/message_codes.h"
gen --check
[[ $rc -eq 1 ]] || fail "missing file: --check exit code $rc, expected 1"
grep -q 'core/message_codes.h is missing' "$work/err" || fail "missing file not named: $(cat "$work/err")"
[[ -e $work/tree/core/message_codes.h ]] && fail "missing file: --check created it"

# Unknown options and arguments are refused before anything is written, even
# with a stale file that a plain run would rewrite.
for args in "--chek" "--ch" "--check --force" "--force" "core" "-x"; do
  fresh_copy
  echo "// stale" >>"$work/tree/core/catalogue_en.cpp"
  snapshot before
  # shellcheck disable=SC2086
  gen $args
  [[ $rc -eq 2 ]] || fail "'$args': exit code $rc, expected 2"
  grep -q '^usage: ' "$work/err" || fail "'$args': no usage on stderr"
  [[ -s $work/out ]] && fail "'$args': wrote to stdout"
  unchanged_since before || fail "'$args': a file was rewritten"
done

# Up-to-date files are not rewritten, so a run does not trigger a rebuild.
fresh_copy
touch -d '2001-01-01' "$work/tree/core/catalogue_ja.cpp"
gen
[[ $rc -eq 0 ]] || fail "plain run on a clean copy: exit code $rc"
[[ $(stat -c %Y "$work/tree/core/catalogue_ja.cpp") -eq $(date -d '2001-01-01' +%s) ]] ||
  fail "an up-to-date file was rewritten"

python3 "$repo/tools/gen_catalogue.py" --check || fail "the repository's generated files are stale"

if [[ $failures -ne 0 ]]; then
  echo "$failures failure(s)"
  exit 1
fi
echo "gen_catalogue: all checks passed"
