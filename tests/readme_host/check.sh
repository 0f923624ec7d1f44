#!/usr/bin/env bash
# Builds the host example of the README, exactly as written, against this
# build installed into a temporary prefix, then runs it: with the catalogue
# the package's function put beside it the labels are translated, without it
# they are the source texts, and it reads a value from the virtual cutter.
# Usage: check.sh SOURCE_DIR BUILD_DIR CXX_COMPILER
set -euo pipefail
src="$1" build="$2" cxx="$3"
tmp="$(mktemp -d)"
cutter=""
cleanup() {
    [ -n "$cutter" ] && kill "$cutter" 2>/dev/null || true
    rm -rf "$tmp"
}
trap cleanup EXIT
fail() { echo "readme host: $*" >&2; exit 1; }

cmake --install "$build" --prefix "$tmp/prefix" >/dev/null

# The fenced block after each "host example: FILE" marker.
mkdir -p "$tmp/src"
for file in CMakeLists.txt main.cpp; do
    awk -v marker="<!-- host example: $file -->" '
        $0 == marker { found = 1; next }
        found && /^```/ { if (inside) exit; inside = 1; next }
        inside { print }' "$src/README.md" >"$tmp/src/$file"
    [ -s "$tmp/src/$file" ] || fail "no block for $file in README.md"
done

cmake -S "$tmp/src" -B "$tmp/b" -DCMAKE_PREFIX_PATH="$tmp/prefix" -DCMAKE_CXX_COMPILER="$cxx" \
    -DCMAKE_INSTALL_PREFIX="$tmp/host" >"$tmp/configure.log" 2>&1 || { cat "$tmp/configure.log"; fail "configure failed"; }
cmake --build "$tmp/b" >"$tmp/build.log" 2>&1 || { cat "$tmp/build.log"; fail "build failed"; }
cmake --install "$tmp/b" >/dev/null
[ -f "$tmp/host/bin/translations/KT-MRC600Cam.qm" ] || fail "the catalogue was not installed beside the host"

export QT_QPA_PLATFORM=offscreen
"$tmp/b/myhost" >"$tmp/en.txt" 2>&1 || { cat "$tmp/en.txt"; fail "the host failed"; }
grep -qx 'label: Cutting speed' "$tmp/en.txt" || { cat "$tmp/en.txt"; fail "labels not translated with the catalogue"; }
"$tmp/host/bin/myhost" >"$tmp/installed.txt" 2>&1 || { cat "$tmp/installed.txt"; fail "the installed host failed"; }
grep -qx "label: Cutting speed" "$tmp/installed.txt" || { cat "$tmp/installed.txt"; fail "the installed host shows untranslated labels"; }

rm -r "$tmp/b/translations"
"$tmp/b/myhost" >"$tmp/zh.txt" 2>&1 || { cat "$tmp/zh.txt"; fail "the host failed without its catalogue"; }
grep -qx 'label: 切割速度' "$tmp/zh.txt" || { cat "$tmp/zh.txt"; fail "labels not in their source texts without the catalogue"; }

"$build/bin/kt-virtual-cutter" --port 0 >"$tmp/cutter.log" 2>/dev/null &
cutter=$!
for _ in $(seq 100); do grep -q '^TCP ' "$tmp/cutter.log" && break; sleep 0.1; done
address="$(sed -n 's/^TCP //p' "$tmp/cutter.log")"
[ -n "$address" ] || fail "the virtual cutter did not start"
"$tmp/b/myhost" "$address" >"$tmp/run.txt" 2>&1 || { cat "$tmp/run.txt"; fail "the host did not read the machine"; }
grep -qx 'message: TCP CONNECTED.' "$tmp/run.txt" || { cat "$tmp/run.txt"; fail "no connection"; }
grep -Eqx 'SP2_SPEED: [1-9][0-9]*' "$tmp/run.txt" || { cat "$tmp/run.txt"; fail "no speed read"; }
# The QR-code loop: two sheets, each cut with the job its code names.
kill "$cutter"; wait "$cutter" 2>/dev/null || true
mkdir -p "$tmp/jobs" "$tmp/dump"
printf 'IN;PU0,0;PD400,0,400,400;PU;' >"$tmp/jobs/J1.plt"
printf 'in;pu10,10;pd90,90;pu;' >"$tmp/jobs/J2.plt"
"$build/bin/kt-virtual-cutter" --port 0 --sheets J2,J1 --dump "$tmp/dump" >"$tmp/cutter.log" 2>/dev/null &
cutter=$!
for _ in $(seq 100); do grep -q '^TCP ' "$tmp/cutter.log" && break; sleep 0.1; done
address="$(sed -n 's/^TCP //p' "$tmp/cutter.log")"
[ -n "$address" ] || fail "the virtual cutter with sheets did not start"
"$tmp/b/myhost" "$address" --qr "$tmp/jobs" >"$tmp/qr.txt" 2>&1 || { cat "$tmp/qr.txt"; fail "the QR-code task did not end"; }
cmp -s "$tmp/dump/sheet1-J2.plt" "$tmp/jobs/J2.plt" && cmp -s "$tmp/dump/sheet2-J1.plt" "$tmp/jobs/J1.plt" \
    || { cat "$tmp/qr.txt" "$tmp/cutter.log"; fail "the sheets were not cut with their own jobs"; }
echo "readme host: built, translated, untranslated without its catalogue, read $(grep SP2_SPEED "$tmp/run.txt"), cut two QR sheets"
