#!/bin/sh
# Builds the whole-run benchmark's program from an earlier commit, so that
# `make bench` can run it side by side with today's. Prints the program's
# path; prints nothing (and succeeds) where the commit is not to be had, as
# in a tree without its history.
#   tools/build_reference.sh COMMIT BUILD_DIR BENCH_ROOT
set -eu
commit=$1
out=$(cd "$2" && pwd)/reference-$commit
root=$3
repo=$(cd "$(dirname "$0")/.." && pwd)
git -C "$repo" rev-parse -q --verify "$commit^{commit}" >/dev/null 2>&1 || exit 0
if [ ! -x "$out/build/bench/zelvo-ivask-bench" ]; then
    rm -rf "$out"
    mkdir -p "$out/src"
    git -C "$repo" archive "$commit" | tar -x -C "$out/src"
    cmake -S "$out/src" -B "$out/build" -DCMAKE_BUILD_TYPE=Release -DZELVO_BENCH=ON -DZELVO_TESTS=OFF \
        -DZELVO_BENCH_ROOT="$root" >/dev/null
    cmake --build "$out/build" --target zelvo-ivask-bench -j "$(nproc)" >/dev/null
fi
echo "$out/build/bench/zelvo-ivask-bench"
