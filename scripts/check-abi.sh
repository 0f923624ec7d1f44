#!/usr/bin/env bash
# Compares the ABI of each shared library hosts link against its committed
# baseline (abi/NAME.abi, written by abidw from release 1.0.0): anything but
# added symbols fails.
#   scripts/check-abi.sh            check build/ (BUILD_DIR overrides)
#   scripts/check-abi.sh --update   write the baselines anew (only for a new SOVERSION)
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
build="$(cd "${BUILD_DIR:-$top/build}" && pwd)"
libraries=(libktapi.so.1 libUsbChannel.so.1 libnuvexaCloud.so.1 libktjob.so.1)
tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT
# The installed headers say which types are the API; the rest is private.
cmake --install "$build" --prefix "$tmp/prefix" --component Development >/dev/null
cmake --install "$build" --prefix "$tmp/prefix" --component Runtime >/dev/null
headers="$tmp/prefix/include/kt-mrc600cam"
libdir="$(dirname "$(find "$tmp/prefix" -name 'libktapi.so.1' | head -1)")"
status=0
for lib in "${libraries[@]}"; do
    baseline="$top/abi/${lib%%.so*}.abi"
    if [ "${1:-}" = "--update" ]; then
        abidw --headers-dir "$headers" --drop-private-types --no-corpus-path "$libdir/$lib" >"$baseline"
        echo "$lib: baseline written"
        continue
    fi
    [ -f "$baseline" ] || { echo "$lib: no baseline $baseline" >&2; status=1; continue; }
    abidw --headers-dir "$headers" --drop-private-types --no-corpus-path "$libdir/$lib" >"$tmp/$lib.abi"
    set +e
    abidiff --no-added-syms "$baseline" "$tmp/$lib.abi" >"$tmp/$lib.diff"
    result=$?
    set -e
    # abidiff's status is a bit field: 1 error, 2 usage, 4 a change, 8 an
    # incompatible change. Added symbols are not reported (--no-added-syms);
    # any other change, a member added to an installed class say, is only
    # "possibly incompatible" to abidiff and fails here.
    if [ "$result" -ne 0 ]; then
        echo "$lib: the ABI differs from its baseline ($baseline); keep the installed classes' layout, or move the new state behind their private pointer:" >&2
        cat "$tmp/$lib.diff" >&2
        status=1
    else
        echo "$lib: same ABI as the baseline, or only additions"
    fi
done
exit $status
