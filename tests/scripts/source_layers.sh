#!/usr/bin/env bash
# The simulator's folders include one way only: drives, pc, fixtures, cli,
# each from those before it, and the run loop (app/) only from the front end
# (odflsh-sim, and the one run the fuzz targets and the benchmark make). A
# climbing include means a piece lives in the wrong folder.
set -u

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd) || exit 1
cd "$root" || exit 1
failures=0

# FOLDER|the include prefixes it must not use
while IFS='|' read -r folder banned; do
  while IFS= read -r hit; do
    echo "FAIL $hit"
    failures=$((failures + 1))
  done < <(grep -HnE "^#include \"($banned)/" sim/"$folder"/*.h sim/"$folder"/*.cpp 2>/dev/null)
done <<'EOF'
drives|app|sim/pc|sim/fixtures|sim/cli|sim/frontend|sim/fakesg|sim/wnaspi32
pc|app|sim/fixtures|sim/cli|sim/frontend|sim/fakesg|sim/wnaspi32
fixtures|app|sim/cli|sim/frontend|sim/fakesg|sim/wnaspi32
cli|app|sim/frontend|sim/fakesg|sim/wnaspi32
fakesg|app|sim/frontend|sim/wnaspi32|sim/tcmu
wnaspi32|app|sim/frontend|sim/fakesg|sim/tcmu
tcmu|app|sim/frontend|sim/fakesg|sim/wnaspi32
EOF

# The fuzz targets and the benchmark reach the run loop through the front end
# (sim/frontend/sim_run.h), never by including app/ themselves.
while IFS= read -r hit; do
  echo "FAIL $hit"
  failures=$((failures + 1))
done < <(grep -HnE '^#include "app/' fuzz/*.h fuzz/*.cpp bench/*.h bench/*.cpp 2>/dev/null)

# Every source of sim/ lies in one of the folders above or in the front end.
for file in sim/*.h sim/*.cpp; do
  [[ -e $file ]] || continue
  echo "FAIL $file lies in no folder of sim/"
  failures=$((failures + 1))
done

[[ $failures -eq 0 ]] && echo "ok   sim layers"
exit $((failures > 0))
