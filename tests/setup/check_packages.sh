#!/usr/bin/env bash
# Fails when the build or the tests use a file from a Debian package that the
# set-up neither installs nor gets through the dependencies of what it
# installs: such a build passes here and breaks on a clean machine.
# Usage: check_packages.sh FOUND_LIST SETUP_SCRIPT
set -euo pipefail
found="$1"
setup="$2"

listed=$(sed -n 's/^packages=(\(.*\))$/\1/p' "$setup" | tr ' ' '\n' | grep -v '^$' || true)
if [ -z "$listed" ]; then
    echo "no packages=(...) list in $setup"
    exit 1
fi

# Everything the listed packages bring, through their dependencies.
declare -A covered=()
queue=($listed)
while [ ${#queue[@]} -gt 0 ]; do
    p="${queue[0]}"
    queue=("${queue[@]:1}")
    p="${p%%:*}"
    [ -n "$p" ] && [ -z "${covered[$p]:-}" ] || continue
    covered[$p]=1
    deps=$(dpkg-query -W -f='${Depends},${Pre-Depends}' "$p" 2>/dev/null || true)
    for d in $(echo "$deps" | tr ',' '\n' | sed 's/|.*//; s/(.*)//; s/:any//' | tr -d ' '); do
        [ -z "${covered[$d]:-}" ] && queue+=("$d")
    done
done

missing=()
while IFS= read -r path; do
    [ -n "$path" ] || continue
    real=$(readlink -f "$path")
    owner=$(dpkg -S "$real" 2>/dev/null | head -n 1 | cut -d: -f1 || true)
    [ -n "$owner" ] || owner=$(dpkg -S "$path" 2>/dev/null | head -n 1 | cut -d: -f1 || true)
    [ -n "$owner" ] || continue   # not from a package: the project's own, or /usr/local
    [ -n "${covered[$owner]:-}" ] || missing+=("$owner ($path)")
done < "$found"

if [ ${#missing[@]} -gt 0 ]; then
    echo "the set-up ($setup) does not install these packages, which the build uses:"
    printf '  %s\n' "${missing[@]}"
    exit 1
fi
echo "every package the build uses is installed by the set-up ($(wc -l < "$found") files checked)"
