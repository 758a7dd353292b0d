#!/usr/bin/env bash
# Runs the fuzz targets (fuzz/targets.txt) for as long as asked.
#
#   tools/fuzz.sh [-t SECONDS] [-j JOBS] [--no-build] [--merge] [TARGET...]
#
#   -t SECONDS   time per target (default 600)
#   -j JOBS      targets run at once (default 1; the machine may be shared)
#   --no-build   use the fuzz tree as it is
#   --merge      afterwards fold what the kept corpus adds in coverage into the
#                seeds in the tree (fuzz/corpus/NAME), as few inputs as cover it
#   TARGET       fuzz_image, fuzz_hex, ... (default: every target)
#
# New inputs are kept between runs in build/fuzz-corpus/NAME (FUZZ_CORPUS_DIR
# moves it); each run starts from them and the seeds. Inputs that crash go to
# build/fuzz-artifacts/NAME/, logs to build/fuzz-logs/NAME.log. The closing table
# gives each target's executions, new inputs and crashes; the exit code is 1
# when any target crashed.
set -uo pipefail

cd "$(dirname "${BASH_SOURCE[0]}")/.." || exit 1
root=$PWD

seconds=600
jobs=1
build=1
merge=0
targets=()
while (($#)); do
  case $1 in
    -t) seconds=${2:?-t needs seconds}; shift 2 ;;
    -j) jobs=${2:?-j needs a count}; shift 2 ;;
    --no-build) build=0; shift ;;
    --merge) merge=1; shift ;;
    -h|--help) sed -n '2,/^set /p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
    -*) echo "fuzz.sh: unknown option $1" >&2; exit 2 ;;
    *) targets+=("$1"); shift ;;
  esac
done

declare -A maxLen
while read -r name len _; do
  [[ -z $name || $name == \#* ]] && continue
  maxLen[$name]=$len
done <fuzz/targets.txt
((${#targets[@]})) || mapfile -t targets < <(printf '%s\n' "${!maxLen[@]}" | sort)
for t in "${targets[@]}"; do
  [[ -n ${maxLen[$t]:-} ]] || { echo "fuzz.sh: no target $t (see fuzz/targets.txt)" >&2; exit 2; }
done

if ((build)); then
  cmake --preset fuzz >/dev/null && cmake --build --preset fuzz -j 2 || exit 1
fi

bin=$root/build/fuzz/fuzz
corpora=${FUZZ_CORPUS_DIR:-$root/build/fuzz-corpus}
artifacts=$root/build/fuzz-artifacts
logs=$root/build/fuzz-logs
mkdir -p "$logs"

run_target() {
  local t=$1 dict=()
  [[ -f fuzz/$t.dict ]] && dict=(-dict="$root/fuzz/$t.dict")
  mkdir -p "$corpora/$t" "$artifacts/$t"
  "$bin/$t" -max_total_time="$seconds" -max_len="${maxLen[$t]}" -timeout=20 -print_final_stats=1 \
    -artifact_prefix="$artifacts/$t/" "${dict[@]}" "$corpora/$t" "$root/fuzz/corpus/$t" >"$logs/$t.log" 2>&1
}

echo "fuzz.sh: ${#targets[@]} target(s), ${seconds}s each, $jobs at a time; logs in $logs"
for t in "${targets[@]}"; do
  while (($(jobs -rp | wc -l) >= jobs)); do wait -n; done
  echo "  start $t"
  run_target "$t" &
done
wait

if ((merge)); then
  for t in "${targets[@]}"; do
    "$bin/$t" -merge=1 -max_len="${maxLen[$t]}" "$root/fuzz/corpus/$t" "$corpora/$t" >>"$logs/$t.log" 2>&1
  done
fi

status=0
printf '\n%-14s %14s %10s %8s\n' target executions new-inputs crashes
for t in "${targets[@]}"; do
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$logs/$t.log" | head -1)
  added=$(sed -n 's/^stat::new_units_added: *//p' "$logs/$t.log" | head -1)
  crashes=$(grep -c '^artifact_prefix=.*Test unit written to' "$logs/$t.log")
  ((crashes)) && status=1
  printf '%-14s %14s %10s %8s\n' "$t" "${runs:-?}" "${added:-?}" "$crashes"
done
exit $status
