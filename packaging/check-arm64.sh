#!/usr/bin/env bash
# The arm64 build run under qemu-user on this machine, so that a Raspberry Pi
# build is known to work: the unit tests, then the server's start-up (it
# listens, answers PORTS; and stops at QUIT;), driven by the arm64
# brinmoorctl.
#   packaging/check-arm64.sh BUILD_DIR     (a build with cmake/aarch64-linux-gnu.cmake)
set -euo pipefail
build=$(cd "$1" && pwd)
export QEMU_LD_PREFIX=/usr/aarch64-linux-gnu
arm64() { qemu-aarch64 "$@"; }

echo "== arm64 unit tests under qemu-aarch64"
ctest --test-dir "$build" -L unit --output-on-failure

echo "== arm64 server start-up under qemu-aarch64"
work=$(mktemp -d)
server=
cleanup() {
    [[ -n "$server" ]] && kill "$server" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
# A port of its own, away from the one a server on this machine may use.
port=$((20000 + RANDOM % 20000))
arm64 "$build/src/brinmoor" --port $port --bind 127.0.0.1 --config "$work/brinmoor.json" \
    >"$work/log" 2>&1 &
server=$!
ctl() { arm64 "$build/tools/brinmoorctl/brinmoorctl" --port $port --timeout 5 "$@"; }

deadline=$((SECONDS + 60))
until ports=$(ctl ports 2>/dev/null); do
    if ((SECONDS > deadline)) || ! kill -0 $server 2>/dev/null; then
        echo "FAIL: the arm64 server did not answer PORTS; within 60 s" >&2
        cat "$work/log" >&2
        exit 1
    fi
    sleep 0.5
done
echo "$ports"
[[ $ports == *"$port"* ]] || { echo "FAIL: PORTS; does not name port $port" >&2; exit 1; }
ctl quit
status=0
wait $server || status=$?
server=
cat "$work/log"
grep -q "Shutting down." "$work/log" || { echo "FAIL: no orderly shutdown" >&2; exit 1; }
[[ $status -eq 0 ]] || { echo "FAIL: the arm64 server exited with $status" >&2; exit 1; }
echo "== arm64 server: listening, PORTS; and QUIT; under qemu-aarch64"
