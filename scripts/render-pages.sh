#!/usr/bin/env bash
# Regenerates docs/settings-user-en.png and docs/settings-system-zh.png.
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
build="${BUILD_DIR:-$top/build}"
"$top/scripts/setup.sh"
export QT_QPA_PLATFORM=offscreen QT_LOGGING_RULES="default.debug=false"
"$build/bin/kt-render-pages" user "$top/docs/settings-user-en.png"
# Run from a folder without translations/ to keep the source texts.
tmp="$(mktemp -d)"
cp "$build/bin/kt-render-pages" "$tmp/"
"$tmp/kt-render-pages" sys "$top/docs/settings-system-zh.png"
rm -rf "$tmp"
echo "wrote docs/settings-user-en.png docs/settings-system-zh.png"
