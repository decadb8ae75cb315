#!/usr/bin/env bash
# Measures how soon the server notices a controller whose network vanished
# without a goodbye (a laptop asleep, Wi-Fi gone): the controller keys PTT,
# then its network interface goes down, and the time until the server logs
# "PTT released" is printed. Linux, as root: the server and the controller
# run in two network namespaces joined by a veth pair, made here and removed
# at the end. The PTT port is a pseudo-terminal.
#
#   tools/dead-peer.sh [build-folder]      (default: build)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
server_ns=brinmoor-dp-server
client_ns=brinmoor-dp-client
work=$(mktemp -d)

cleanup() {
    [[ -n ${server_pid:-} ]] && kill "$server_pid" 2>/dev/null || true
    [[ -n ${client_pid:-} ]] && kill "$client_pid" 2>/dev/null || true
    [[ -n ${pty_pid:-} ]] && kill "$pty_pid" 2>/dev/null || true
    ip netns del "$server_ns" 2>/dev/null || true
    ip netns del "$client_ns" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

ip netns add "$server_ns"
ip netns add "$client_ns"
ip link add brinmoor-dp-s type veth peer name brinmoor-dp-c
ip link set brinmoor-dp-s netns "$server_ns"
ip link set brinmoor-dp-c netns "$client_ns"
ip -n "$server_ns" addr add 10.77.0.1/24 dev brinmoor-dp-s
ip -n "$client_ns" addr add 10.77.0.2/24 dev brinmoor-dp-c
for ns in "$server_ns" "$client_ns"; do ip -n "$ns" link set lo up; done
ip -n "$server_ns" link set brinmoor-dp-s up
ip -n "$client_ns" link set brinmoor-dp-c up

# The PTT port: a pseudo-terminal whose master stays open meanwhile.
python3 -c '
import os, sys, time
master, slave = os.openpty()
print(os.ttyname(slave), flush=True)
time.sleep(3600)' >"$work/pty" &
pty_pid=$!
while [[ ! -s $work/pty ]]; do sleep 0.05; done
ptt=$(cat "$work/pty")

ip netns exec "$server_ns" "$build/src/brinmoor" --bind 10.77.0.1 --port 4532 \
    --config "$work/brinmoor.json" >"$work/server.log" 2>&1 &
server_pid=$!
until grep -q 'Listening on TCP port' "$work/server.log"; do sleep 0.05; done

# The controller: configures PTT, keys it, waits for PW's reply (so the last
# packets have crossed), says so, and then stays silent forever.
ip netns exec "$client_ns" python3 -c '
import socket, sys, time
s = socket.create_connection(("10.77.0.1", 4532))
s.sendall(b"CFG{\"ports\": {\"PTT\": {\"port\": \"" + sys.argv[1].encode() + b"\"}}};")
reply = b""
while not reply.endswith(b"CFG_OK;"): reply += s.recv(100)
s.sendall(b"PT1;PW;")
while not reply.endswith(b"PW000;"): reply += s.recv(100)
print("keyed", flush=True)
time.sleep(3600)' "$ptt" >"$work/client.log" &
client_pid=$!
until grep -q keyed "$work/client.log"; do sleep 0.05; done

ip -n "$client_ns" link set brinmoor-dp-c down
gone=$(date +%s.%N)
echo "Network gone; waiting for the release (up to 60 s) ..."
for _ in $(seq 1 1200); do
    grep -q 'PTT released' "$work/server.log" && break
    sleep 0.05
done
released=$(date +%s.%N)
if grep -q 'PTT released' "$work/server.log"; then
    grep -E 'PTT released|Client disconnected' "$work/server.log"
    printf 'PTT released %.1f s after the network vanished\n' "$(echo "$released - $gone" | bc -l)"
else
    echo "PTT still keyed after 60 s" >&2
    cat "$work/server.log" >&2
    exit 1
fi
