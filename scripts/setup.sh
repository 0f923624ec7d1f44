#!/usr/bin/env bash
# Installs what is missing on a Debian 12 machine, then configures and builds
# into build/ (Release unless BUILD_TYPE says otherwise).
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"

packages=(g++ make cmake qtbase5-dev libqt5sql5-sqlite libqt5websockets5-dev qttools5-dev qttools5-dev-tools libbenchmark-dev fonts-wqy-microhei clang llvm libclang-rt-14-dev dpkg-dev lintian abigail-tools e2fsprogs mount util-linux pkgconf libqrencode-dev zbar-tools libqt5svg5-dev libpoppler-qt5-dev libdxflib-dev zlib1g-dev libxml2-dev libvulkan-dev)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
fi

build="${BUILD_DIR:-$top/build}"
cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE="${BUILD_TYPE:-Release}" ${CMAKE_ARGS:-} >/dev/null
cmake --build "$build" -j"$(nproc)"
