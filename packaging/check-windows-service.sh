#!/usr/bin/env bash
# The Windows service under Wine's service manager: install, start, a
# client's PORTS;, stop (the orderly shutdown, written to the service's log
# file) and uninstall.
#   packaging/check-windows-service.sh BUILD_DIR [RADIOSIM]
# BUILD_DIR is a mingw-w64 build. With RADIOSIM (the native radio simulator)
# the service also gets a CAT port, a radio on TCP, and must keep it in its
# saved file beside the log.
# Wine runs every program as an administrator, so the refusal for users
# without one cannot be seen here; nor can modem lines (Wine's COM ports are
# the host's serial devices), so the dropped lines are the native tests' part.
set -euo pipefail
build=$(cd "$1" && pwd)
# A prefix of its own, made afresh: Wine's service manager keeps a removed
# service around while anything holds it, so an earlier run must not leave one.
export WINEPREFIX="$build/wine-service-prefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="winedbg.exe=d"
WINEPREFIX="$WINEPREFIX" wineserver -k >/dev/null 2>&1 || true
rm -rf "$WINEPREFIX"
mkdir -p "$WINEPREFIX"
wine wineboot --init >/dev/null 2>&1 || true
wineserver -w
# Then a persistent Wine server for the whole check: Wine boots the prefix
# again whenever its server has ended, and a boot starts every automatic
# service.
wineserver -p >/dev/null 2>&1 || true
wine wineboot >/dev/null 2>&1 || true
trap 'wineserver -k >/dev/null 2>&1 || true' EXIT

folder="$WINEPREFIX/drive_c/brinmoor-service-check"
rm -rf "$folder"
mkdir -p "$folder"
cp "$build/src/brinmoor.exe" "$build/tools/brinmoorctl/brinmoorctl.exe" "$folder/"
port=$((20000 + RANDOM % 20000))
failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}
run() { wine "$@" 2>&1 | tr -d '\r'; }

said=$(run "$folder/brinmoor.exe" --install-service --port $port --bind 127.0.0.1)
echo "$said"
[[ $said == *"Service brinmoor installed"*"--service --port $port --bind 127.0.0.1"* ]] ||
    fail "--install-service"
said=$(run "$folder/brinmoor.exe" --install-service --port $port || true)
[[ $said == *"already installed"* ]] || fail "a second --install-service: $said"

run sc start brinmoor >/dev/null || true
deadline=$((SECONDS + 60))
until ports=$(run "$folder/brinmoorctl.exe" --port $port --timeout 5 ports); do
    ((SECONDS < deadline)) || { fail "no PORTS; reply from the service"; break; }
    sleep 1
done
echo "$ports"
[[ $ports == *"\"tcp_port\": $port"* ]] || fail "PORTS; reply: $ports"
run sc query brinmoor | grep -q RUNNING || fail "sc query does not say RUNNING"

radiosim=
if [[ -n "${2:-}" ]]; then
    coproc radio { "$2" --tcp 0; }
    radiosim=$radio_PID
    read -r radio_port <&"${radio[0]}"
    printf '{"ports": {"CAT": {"port": "%s"}}}\n' "$radio_port" >"$folder/radio.json"
    run "$folder/brinmoorctl.exe" --port $port cfg 'C:\brinmoor-service-check\radio.json' ||
        fail "cfg with the CAT port $radio_port"
    said=$(run "$folder/brinmoorctl.exe" --port $port cat ID || true)
    echo "$said"
    [[ $said == *"ID019;"* ]] || fail "the radio's ID through the service: $said"
fi

run sc stop brinmoor >/dev/null || true
deadline=$((SECONDS + 30))
until run sc query brinmoor | grep -q STOPPED; do
    ((SECONDS < deadline)) || { fail "the service did not stop"; break; }
    sleep 1
done
# %ProgramData% of a Wine service is C:\users\Public; found, not assumed.
log=$(find "$WINEPREFIX/drive_c" -path '*/brinmoor/brinmoor.log' | head -1)
echo "--- ${log:-no log file}"
cat "${log:-/dev/null}"
[[ -n "$log" ]] || fail "no log file"
stamp='[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2} '
for line in "\[brinmoor\] Listening on TCP port $port\." "\[brinmoor\] Service stop received\." \
    "\[brinmoor\] Shutting down\." "\[brinmoor\] CAT link: "; do
    grep -Eq "^$stamp$line" "${log:-/dev/null}" || fail "the log lacks: $line"
done

if [[ -n "$radiosim" ]]; then
    kill "$radiosim" || true
    saved="$(dirname "${log:-/dev/null}")/brinmoor.json"
    grep -q "$radio_port" "$saved" 2>/dev/null || fail "no CAT port in $saved"
fi

said=$(run "$folder/brinmoor.exe" --uninstall-service)
echo "$said"
[[ $said == *"Service brinmoor removed"* ]] || fail "--uninstall-service"
said=$(run "$folder/brinmoor.exe" --uninstall-service || true)
[[ $said == *"not installed"* ]] || fail "a second --uninstall-service: $said"

if [[ $failures -ne 0 ]]; then
    echo "$failures check(s) failed" >&2
    exit 1
fi
echo "== Windows service checked under Wine"
