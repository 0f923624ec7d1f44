#!/usr/bin/env bash
# Runs every fuzz target for SECONDS (default 60) from its committed seed
# corpus and prints executions, coverage and findings per target.
#   fuzz/run.sh [SECONDS]
# BUILD_DIR: the fuzz build (default build-fuzz); TARGETS: the targets to run
# (names without fuzz_, default all); JOBS: targets run at the
# same time (default 1); FUZZ_OUT: where corpora, logs and findings go
# (default a fresh temporary folder). fuzz/<target>/max_len, when present,
# bounds a target's inputs. Exit status 1 when a target found
# something (its crash or leak file is named), 2 on a usage error.
set -uo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
seconds="${1:-60}"
case "$seconds" in
    ''|*[!0-9]*) echo "usage: fuzz/run.sh [SECONDS]" >&2; exit 2 ;;
esac
build="${BUILD_DIR:-$top/build-fuzz}"
jobs="${JOBS:-1}"
out="${FUZZ_OUT:-$(mktemp -d)}"
targets=()
for t in "$build"/bin/fuzz_*; do
    name="$(basename "$t")"
    if [ -n "${TARGETS:-}" ] && ! [[ " $TARGETS " == *" ${name#fuzz_} "* ]]; then
        continue
    fi
    [ -x "$t" ] && targets+=("$name")
done
if [ ${#targets[@]} -eq 0 ]; then
    echo "no fuzz targets in $build/bin: build with -DKT_FUZZ=ON -DCMAKE_CXX_COMPILER=clang++ first" >&2
    exit 2
fi

run_one() {
    local target="$1" name="${1#fuzz_}" length=()
    mkdir -p "$out/$name/corpus" "$out/$name/findings"
    cp "$top/fuzz/$name/corpus/"* "$out/$name/corpus/" 2>/dev/null
    # The longest input worth trying, per target: tried from the start, not
    # reached by slow growth from the seeds' sizes, which a short run never ends.
    if [ -f "$top/fuzz/$name/max_len" ]; then
        length=(-max_len="$(tr -dc 0-9 <"$top/fuzz/$name/max_len")" -len_control=0)
    fi
    QT_QPA_PLATFORM=offscreen "$build/bin/$target" "$out/$name/corpus" "${length[@]}" \
        -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
        -artifact_prefix="$out/$name/findings/" >"$out/$name/log" 2>&1
    echo $? >"$out/$name/status"
}

running=0
for t in "${targets[@]}"; do
    run_one "$t" &
    running=$((running + 1))
    if [ "$running" -ge "$jobs" ]; then
        wait -n
        running=$((running - 1))
    fi
done
wait

failed=0
printf '%-16s %14s %8s %8s %8s  %s\n' target executions cov ft corpus result
for t in "${targets[@]}"; do
    name="${t#fuzz_}"
    log="$out/$name/log"
    execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
    last=$(grep -E '^#[0-9]+' "$log" | grep 'cov:' | tail -n 1)
    cov=$(echo "$last" | sed -n 's/.*cov: \([0-9]*\).*/\1/p')
    ft=$(echo "$last" | sed -n 's/.*ft: \([0-9]*\).*/\1/p')
    corp=$(echo "$last" | sed -n 's/.*corp: \([0-9]*\).*/\1/p')
    finding=$(ls "$out/$name/findings" 2>/dev/null | head -n 1)
    result=ok
    if [ "$(cat "$out/$name/status" 2>/dev/null)" != 0 ] || [ -n "$finding" ]; then
        result="FOUND ${finding:-an error}: see $log"
        failed=1
    fi
    printf '%-16s %14s %8s %8s %8s  %s\n' "$name" "${execs:-?}" "${cov:-?}" "${ft:-?}" "${corp:-?}" "$result"
done
echo "logs and corpora: $out"
exit $failed
