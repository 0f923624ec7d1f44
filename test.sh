#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine if needed, builds, and runs every test.
set -euo pipefail
top="$(cd "$(dirname "$0")" && pwd)"
"$top/scripts/setup.sh"
cd "${BUILD_DIR:-$top/build}"
ctest --output-on-failure -j"$(nproc)" "$@"
