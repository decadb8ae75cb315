#!/usr/bin/env bash
# Installs what is missing, builds brinmoor (with brinmoorctl and the radio
# simulator) and starts it. Arguments go to the server, e.g.
# tools/start.sh --port 4532
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/tools/install-deps.sh"
cmake -S "$root" -B "$root/build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
# The client and the radio simulator too: the README uses them next to the server.
cmake --build "$root/build" -j2 --target brinmoor brinmoorctl brinmoor-radiosim
exec "$root/build/src/brinmoor" "$@"
