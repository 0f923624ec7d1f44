#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine if needed, builds, then cuts the bundled
# label sheet twice through the plug-in on the virtual cutter, with the job
# reported to a local cloud service.
set -euo pipefail
top="$(cd "$(dirname "$0")" && pwd)"
"$top/scripts/setup.sh"
bin="${BUILD_DIR:-$top/build}/bin"
export QT_QPA_PLATFORM="${QT_QPA_PLATFORM:-offscreen}"

tmp="$(mktemp -d)"
pids=()
export XDG_RUNTIME_DIR="${XDG_RUNTIME_DIR:-$tmp}"
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$tmp"
}
trap cleanup EXIT

"$bin/kt-virtual-cutter" --port 0 --speed 1500 >"$tmp/cutter.log" 2>/dev/null &
pids+=($!)
"$bin/kt-cloud-service" --print-records >"$tmp/cloud.log" 2>/dev/null &
pids+=($!)
for _ in $(seq 100); do
    grep -q '^TCP ' "$tmp/cutter.log" && grep -q '^WS ' "$tmp/cloud.log" && break
    sleep 0.1
done
address="$(sed -n 's/^TCP //p' "$tmp/cutter.log")"
rest="$(sed -n 's/^REST //p' "$tmp/cloud.log")"
ws="$(sed -n 's/^WS //p' "$tmp/cloud.log")"
echo "virtual cutter on $address, cloud service on $rest and $ws"

status=0
"$bin/kt-host" --tcp "$address" --cloud "$rest,$ws" --code KT0A1ZDEMO \
    cut "$top/examples/labels-a5.plt" --copies 2 || status=$?

for _ in $(seq 30); do
    grep -q '^work record' "$tmp/cloud.log" && break
    sleep 0.1
done
echo "the cloud service received:"
grep '^work record' "$tmp/cloud.log" || echo "  no work record"
exit "$status"
