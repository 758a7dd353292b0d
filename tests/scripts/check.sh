# Shared by the scripts that run the product on a PC without a reachable
# drive (sourced, not run). check NAME RC EXPECTED_STDOUT compares a run's
# exit code with 1 and $work/NAME.out with the expected bytes, shows both
# (and $work/NAME.err, when there is one) on a difference, and counts each
# failure in $failures.
check() {
  local name=$1 rc=$2 expected=$3
  printf '%s' "$expected" >"$work/$name.expected"
  if [[ $rc -ne 1 ]]; then
    echo "FAIL $name: exit code $rc, expected 1"
    failures=$((failures + 1))
  fi
  if ! cmp -s "$work/$name.expected" "$work/$name.out"; then
    echo "FAIL $name: stdout differs"
    echo "--- expected"; od -c "$work/$name.expected"
    echo "--- got"; od -c "$work/$name.out"
    if [[ -s $work/$name.err ]]; then
      echo "--- stderr"; head -c 2000 "$work/$name.err"
    fi
    failures=$((failures + 1))
  else
    echo "ok   $name (${SECONDS}s)"
  fi
}
