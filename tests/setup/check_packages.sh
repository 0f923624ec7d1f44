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

# Every installed package's dependencies, read in one call.
declare -A depends=()
while IFS='|' read -r name deps; do
    depends[$name]="$deps"
done < <(dpkg-query -W -f='${Package}|${Depends},${Pre-Depends}\n' 2>/dev/null)

# Everything the listed packages bring, through their dependencies.
declare -A covered=()
queue=($listed)
while [ ${#queue[@]} -gt 0 ]; do
    p="${queue[0]}"
    queue=("${queue[@]:1}")
    p="${p%%:*}"
    [ -n "$p" ] && [ -z "${covered[$p]:-}" ] || continue
    covered[$p]=1
    for d in $(echo "${depends[$p]:-}" | tr ',' '\n' | sed 's/|.*//; s/(.*)//; s/:any//' | tr -d ' '); do
        [ -z "${covered[$d]:-}" ] && queue+=("$d")
    done
done

# Who owns each file the build found, the link's target first: one dpkg
# call for all of them.
paths=()
while IFS= read -r path; do
    [ -n "$path" ] && paths+=("$path")
done < "$found"
declare -A owner=()
if [ ${#paths[@]} -gt 0 ]; then
    candidates=()
    for path in "${paths[@]}"; do
        candidates+=("$(readlink -f "$path")" "$path")
    done
    while IFS= read -r line; do
        file="${line#*: }"
        [ -n "${owner[$file]:-}" ] || owner[$file]="${line%%:*}"
    done < <(dpkg -S "${candidates[@]}" 2>/dev/null | grep -v '^diversion by' || true)
fi
missing=()
for path in "${paths[@]}"; do
    o="${owner[$(readlink -f "$path")]:-${owner[$path]:-}}"
    [ -n "$o" ] || continue   # not from a package: the project's own, or /usr/local
    o="${o%%,*}"
    [ -n "${covered[$o]:-}" ] || missing+=("$o ($path)")
done

if [ ${#missing[@]} -gt 0 ]; then
    echo "the set-up ($setup) does not install these packages, which the build uses:"
    printf '  %s\n' "${missing[@]}"
    exit 1
fi
echo "every package the build uses is installed by the set-up ($(wc -l < "$found") files checked)"
