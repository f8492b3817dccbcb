#!/bin/bash
# Runs every fuzz target for SECONDS each, starting from the committed seeds.
# Fails on a crash, a leak, a sanitizer report or an input slower than 1 s.
#   tools/run_fuzzers.sh FUZZ_BUILD_DIR SECONDS
set -eu
build=$1
seconds=$2
seeds=$(cd "$(dirname "$0")/../fuzz/corpus" && pwd)
for target in ini_reader scan_settings http_url; do
    work=$build/corpus/$target
    log=$build/$target.log
    mkdir -p "$work" "$build/artifacts"
    echo "== $target: $seconds s"
    if ! "$build/fuzz/${target}_fuzz" -max_total_time="$seconds" -timeout=1 -rss_limit_mb=2048 \
        -print_final_stats=1 -artifact_prefix="$build/artifacts/$target-" "$work" "$seeds/$target" >"$log" 2>&1; then
        tail -n 60 "$log"
        echo "$target: failed; the input is in $build/artifacts" >&2
        exit 1
    fi
    grep -E '^stat::(number_of_executed_units|average_exec_per_sec|peak_rss_mb)' "$log"
done
