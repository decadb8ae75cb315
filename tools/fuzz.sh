#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs each for a bounded time from a copy of
# its committed seed corpus. A crash, a sanitizer report, a leak or an input
# that takes longer than the time-out (a hang) fails the run; the input that
# did it is kept under the work folder and named in the output.
#   tools/fuzz.sh [seconds per target, default 60] [target ...]
# Targets: json session (both when none is named).
# BUILD_DIR (default build-fuzz) and WORK_DIR (default BUILD_DIR/fuzz-run)
# may be set in the environment.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-60}
shift || true
targets=("$@")
[[ ${#targets[@]} -eq 0 ]] && targets=(json session)
build=${BUILD_DIR:-$root/build-fuzz}
work=${WORK_DIR:-$build/fuzz-run}

cxx=$(command -v clang++-14 || command -v clang++)
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_COMPILER="$cxx" -DBRINMOOR_WERROR=ON -DBRINMOOR_FUZZ=ON -DBRINMOOR_SANITIZE="address;undefined" \
    -DBRINMOOR_BUILD_TESTS=OFF >/dev/null
executables=()
for target in "${targets[@]}"; do executables+=("brinmoor_${target}_fuzz"); done
cmake --build "$build" -j2 --target "${executables[@]}"

symbolizer=/usr/lib/llvm-14/bin/llvm-symbolizer
[[ -x $symbolizer ]] && export ASAN_SYMBOLIZER_PATH=$symbolizer
export ASAN_OPTIONS="detect_leaks=1:halt_on_error=1:abort_on_error=1:${ASAN_OPTIONS:-}"
export UBSAN_OPTIONS="halt_on_error=1:abort_on_error=1:print_stacktrace=1:${UBSAN_OPTIONS:-}"

status=0
for target in "${targets[@]}"; do
    corpus="$work/$target/corpus"
    artifacts="$work/$target/artifacts"
    rm -rf "${work:?}/$target"
    mkdir -p "$corpus" "$artifacts" "$work/$target/tmp"
    cp "$root/fuzz/corpus/$target/"* "$corpus/"
    echo "== Fuzzing $target for ${seconds}s"
    dictionary=()
    [[ -f $root/fuzz/$target.dict ]] && dictionary=(-dict="$root/fuzz/$target.dict")
    start=$SECONDS
    # -close_fd_mask=1: the server's progress lines on standard output are
    # noise here; libFuzzer and the sanitizers report on standard error.
    if TMPDIR="$work/$target/tmp" "$build/fuzz/brinmoor_${target}_fuzz" \
        -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -detect_leaks=1 \
        -close_fd_mask=1 -print_final_stats=1 -artifact_prefix="$artifacts/" \
        "${dictionary[@]}" "$corpus" >"$work/$target/log" 2>&1; then
        grep -aE "^stat::number_of_executed_units|^stat::peak_rss_mb" "$work/$target/log" || true
        echo "== $target: no fault in $((SECONDS - start))s"
    else
        status=1
        grep -av "^\[" "$work/$target/log" | tail -60
        echo "== $target: FAULT (inputs kept in $artifacts)"
        ls -l "$artifacts"
    fi
done
exit $status
