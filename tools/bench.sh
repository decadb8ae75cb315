#!/usr/bin/env bash
# Builds brinmoor, the radio simulator and the benchmark (Release, in
# build-bench) and runs the benchmark: one table on standard output, progress
# on standard error, about 190 s of measuring. Arguments go to the
# benchmark:
#   tools/bench.sh                the whole run
#   tools/bench.sh --quick        shorter runs, for a first look
#   tools/bench.sh --only 1,2,5   some figures only
# The exit code is 1 when a figure misses its target.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build-bench"
"$root/tools/install-deps.sh"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBRINMOOR_BUILD_BENCH=ON >/dev/null
cmake --build "$build" -j2 --target brinmoor_bench
exec "$build/bench/brinmoor_bench" "$@"
