#!/bin/sh
# Runs the fuzz targets of a NAVOREL_FUZZ build folder:
#   scripts/run-fuzzers.sh BUILD_DIR SECONDS [TARGET...]
# Each target starts from the committed corpus (tests/fuzz/corpus/<target>,
# read only) plus what earlier runs found, kept in BUILD_DIR/corpus/<target>;
# new inputs go there, never into the repository. A crash or a failed check
# leaves its input in BUILD_DIR/artifacts/<target>/ and fails the run.
# FUZZ_JOBS targets run at a time (default 1). Without targets, all run.
set -eu
build=$(cd "$1" && pwd)
seconds=$2
shift 2
source_dir=$(cd "$(dirname "$0")/.." && pwd)
jobs=${FUZZ_JOBS:-1}
if [ $# -eq 0 ]; then
    set -- $(cd "$build/tests/fuzz" && ls fuzz_* | sed 's/^fuzz_//')
fi

run_one() {
    target=$1
    seeds="$source_dir/tests/fuzz/corpus/$target"
    corpus="$build/corpus/$target"
    artifacts="$build/artifacts/$target"
    log="$build/logs/$target.log"
    mkdir -p "$corpus" "$artifacts" "$build/logs"
    [ -d "$seeds" ] || seeds=""
    dict=""
    [ -f "$source_dir/tests/fuzz/$target.dict" ] && dict="-dict=$source_dir/tests/fuzz/$target.dict"
    # -timeout: an input that takes this long is a hang, reported like a crash.
    if "$build/tests/fuzz/fuzz_$target" -max_total_time="$seconds" -timeout=25 -rss_limit_mb=4096 \
        -print_final_stats=1 -artifact_prefix="$artifacts/" $dict "$corpus" $seeds >"$log" 2>&1; then
        runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
        size=$(ls "$corpus" | wc -l)
        echo "fuzz $target: ok, ${runs:-?} runs in ${seconds} s, corpus $size files"
    else
        echo "fuzz $target: FAILED (log: $log)"
        grep -E "FUZZ_CHECK|ERROR: |SUMMARY|Test unit written" "$log" | head -20
        return 1
    fi
}

status=0
running=0
pids=""
for target in "$@"; do
    run_one "$target" &
    pids="$pids $!"
    running=$((running + 1))
    if [ "$running" -ge "$jobs" ]; then
        for pid in $pids; do wait "$pid" || status=1; done
        pids=""
        running=0
    fi
done
for pid in $pids; do wait "$pid" || status=1; done
exit $status
