#!/usr/bin/env bash
# A short fuzz run: TARGET SCRATCH SEEDS [FLAGS...]. Every seed runs first (the
# inputs of fixed findings among them), then the fixed number of new inputs
# the flags ask for; new inputs land in SCRATCH, which starts empty.
set -euo pipefail
target=$1 scratch=$2 seeds=$3
shift 3
rm -rf "$scratch"
mkdir -p "$scratch"
exec "$target" -print_final_stats=1 -artifact_prefix="$scratch/" "$@" "$scratch" "$seeds"
