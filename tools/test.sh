#!/usr/bin/env bash
# Installs what is missing, builds brinmoor natively and for Windows, and runs
# the whole test suite: natively, then the Windows test executables under Wine.
#   tools/test.sh             everything
#   tools/test.sh --native    the native suite only
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
jobs=2

native_only=false
[[ "${1:-}" == "--native" ]] && native_only=true

if $native_only; then "$root/tools/install-deps.sh"; else "$root/tools/install-deps.sh" --windows; fi

echo "== Native build and tests"
cmake -S "$root" -B "$root/build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$root/build" -j$jobs
ctest --test-dir "$root/build" --output-on-failure -j$jobs

$native_only && exit 0

echo "== Windows build (mingw-w64) and tests under Wine"
cmake -S "$root" -B "$root/build-windows" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake"
cmake --build "$root/build-windows" -j$jobs

export WINEPREFIX="$root/build-windows/wine-prefix"
export WINEDEBUG=-all
# Without this a crashing .exe starts the debugger, exits 0 and counts as a pass.
export WINEDLLOVERRIDES="winedbg.exe=d"
# Boot the prefix once and keep one Wine server up for the whole run;
# otherwise every test pays the start-up or ctest hangs.
mkdir -p "$WINEPREFIX"
wineserver -p
wine wineboot --init >/dev/null 2>&1 || true
status=0
ctest --test-dir "$root/build-windows" --output-on-failure || status=$?
wineserver -k || true
exit $status
