#!/usr/bin/env bash
# Installs what is missing, builds brinmoor and runs the whole test suite, in
# stages:
#   native    optimised build (Release, build/) and the native suite
#   package   the Debian packages for amd64 and arm64 (tools/release.sh --debs),
#             their checks (packaging/check-packages.sh), and the arm64 unit
#             tests and server start-up under qemu-aarch64 (packaging/check-arm64.sh)
#   asan      the native suite under AddressSanitizer and UndefinedBehaviorSanitizer (build-asan/)
#   tsan      the native suite under ThreadSanitizer (build-tsan/)
#   fuzz      the libFuzzer targets, FUZZ_SECONDS (default 20) each (build-fuzz/, tools/fuzz.sh)
#   windows   mingw-w64 Release build (build-windows/), the Windows zip, the unit tests
#             and the service (packaging/check-windows-service.sh) under Wine
#
#   tools/test.sh             every stage, in the order above (what CI runs;
#                             about 17 minutes on two cores)
#   tools/test.sh --native    the native stage only
#   tools/test.sh STAGE...    the named stages, e.g. tools/test.sh asan tsan
#
# A sanitizer report in any process (test programs and the servers, radio
# simulators and clients they start) fails its stage: reports are written to
# files under the build folder and checked after the run.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
jobs=2

case "${1:-}" in
    "" | --all) stages=(native package asan tsan fuzz windows) ;;
    --native) stages=(native) ;;
    -*)
        sed -n '2,21p' "$0" >&2
        exit 2
        ;;
    *) stages=("$@") ;;
esac

deps=()
for stage in "${stages[@]}"; do
    case "$stage" in
        fuzz) deps+=(--fuzz) ;;
        windows) deps+=(--windows) ;;
        package) deps+=(--release) ;;
        native | asan | tsan) ;;
        *)
            echo "tools/test.sh: unknown stage $stage" >&2
            exit 2
            ;;
    esac
done
"$root/tools/install-deps.sh" "${deps[@]}"

# Configures, builds and runs the native suite in one build folder (build
# type RelWithDebInfo unless the arguments say otherwise); warnings are errors
# in every stage.
native_suite() {
    local dir=$1
    shift
    # Chained: callers run this inside "|| status=$?", where "set -e" is off.
    cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBRINMOOR_WERROR=ON "$@" &&
        cmake --build "$dir" -j$jobs &&
        ctest --test-dir "$dir" --output-on-failure -j$jobs
}

# The native suite with sanitizers; every report of every process lands in
# reports/ under the build folder, and any report fails the stage. Built at
# -O1 with line tables only: the sanitizers find as much, reports still name
# files and lines, and the build takes half the time.
sanitized_suite() {
    local dir=$1 sanitizers=$2 reports="$1/sanitizer-reports"
    rm -rf "$reports"
    mkdir -p "$reports"
    local status=0
    ASAN_OPTIONS="halt_on_error=1:abort_on_error=1:detect_leaks=1:log_path=$reports/asan" \
        UBSAN_OPTIONS="halt_on_error=1:abort_on_error=1:print_stacktrace=1:log_path=$reports/ubsan" \
        TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:log_path=$reports/tsan" \
        native_suite "$dir" -DBRINMOOR_SANITIZE="$sanitizers" \
        -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g1 -DNDEBUG" || status=$?
    if compgen -G "$reports/*" >/dev/null; then
        echo "Sanitizer reports:"
        for report in "$reports"/*; do
            echo "--- $report"
            cat "$report"
        done
        status=1
    fi
    return $status
}

windows_suite() {
    cmake -S "$root" -B "$root/build-windows" -G Ninja -DCMAKE_BUILD_TYPE=Release \
        -DBRINMOOR_WERROR=ON -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake"
    cmake --build "$root/build-windows" -j$jobs

    echo "== Windows zip (Release, stripped)"
    "$root/packaging/windows-zip.sh" "$root/build-windows" "$root/build-windows"

    export WINEPREFIX="$root/build-windows/wine-prefix"
    export WINEDEBUG=-all
    # Without this a crashing .exe starts the debugger, exits 0 and counts as a pass.
    export WINEDLLOVERRIDES="winedbg.exe=d"
    # Boot the prefix once and keep one Wine server up for the whole run;
    # otherwise every test pays the start-up or ctest hangs.
    mkdir -p "$WINEPREFIX"
    wineserver -p
    wine wineboot --init >/dev/null 2>&1 || true
    local status=0
    ctest --test-dir "$root/build-windows" --output-on-failure || status=$?
    # With the native stage's radio simulator when there is one: the
    # service then also opens a CAT port and keeps it in its saved file.
    local radiosim="$root/build/tools/radiosim/brinmoor-radiosim"
    [[ -x "$radiosim" ]] || radiosim=""
    "$root/packaging/check-windows-service.sh" "$root/build-windows" $radiosim || status=$?
    wineserver -k || true
    return $status
}

# A short soak after the native suite: brinmoor-load runs 50 loopback clients
# for 10 s against the server and the radio simulator of that build; a wrong
# or missing reply, an error or a slow QUIT fails the stage.
soak_run() {
    echo "== Soak: brinmoor-load, 50 clients for 10 s"
    "$1/tools/load/brinmoor-load" --clients 50 --seconds 10
}

run_stage() {
    case "$1" in
        native)
            local status=0
            # -O3: some warnings only show when the optimiser inlines deeply.
            native_suite "$root/build" -DCMAKE_BUILD_TYPE=Release || status=$?
            soak_run "$root/build" || status=$?
            return $status
            ;;
        package)
            # The packages, then the arm64 unit tests built beside them.
            "$root/tools/release.sh" --debs &&
                "$root/packaging/check-packages.sh" "$root/dist" &&
                cmake --build "$root/build-release/arm64" -j$jobs --target brinmoor_unit_tests &&
                "$root/packaging/check-arm64.sh" "$root/build-release/arm64"
            ;;
        asan) sanitized_suite "$root/build-asan" "address;undefined" ;;
        tsan) sanitized_suite "$root/build-tsan" "thread" ;;
        fuzz) BUILD_DIR="$root/build-fuzz" "$root/tools/fuzz.sh" "${FUZZ_SECONDS:-20}" ;;
        windows) windows_suite ;;
    esac
}

# Every stage runs even after one failed, so one run shows every fault; the
# summary gives each stage's time.
summary=()
failed=0
for stage in "${stages[@]}"; do
    echo "== Stage $stage"
    start=$SECONDS
    result=passed
    # In a background subshell, where "set -e" holds (inside "... || ..." it
    # would be off, and a failed build would go on to test old programs); the
    # stage's environment stays in it too.
    run_stage "$stage" &
    wait $! || {
        result=FAILED
        failed=1
    }
    summary+=("$(printf '%-8s %-7s %5ds' "$stage" "$result" $((SECONDS - start)))")
done

echo "== Stages"
printf '%s\n' "${summary[@]}"
exit $failed
