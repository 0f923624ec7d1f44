#!/usr/bin/env bash
# Builds the Debian packages from a configured build folder (build/ unless
# BUILD_DIR says otherwise) and has lintian check each: any error fails.
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
build="$(cd "${BUILD_DIR:-$top/build}" && pwd)"
out="$build/packages"
rm -rf "$out"
mkdir -p "$out"
(cd "$build" && cpack -G DEB -B "$out" >"$out/cpack.log" 2>&1) || { cat "$out/cpack.log"; exit 1; }
debs=("$out"/*.deb)
for deb in "${debs[@]}"; do
    echo "$(basename "$deb"): $(dpkg-deb -f "$deb" Depends)"
done
# Root builds are the rule on CI machines; lintian's note about it is noise.
lintian --fail-on error --suppress-tags initial-upload-closes-no-bugs "${debs[@]}" 2>&1 \
    | grep -v '^running with root privileges' || true
lintian --fail-on error "${debs[@]}" >/dev/null 2>&1
echo "packages: ${#debs[@]} built, lintian reports no errors"
