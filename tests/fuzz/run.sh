#!/usr/bin/env bash
# Builds the libFuzzer targets (preset fuzz: clang, AddressSanitizer, UndefinedBehaviorSanitizer)
# and runs each for SECONDS on its corpus in tests/fuzz/corpus/TARGET. The fuzzers write what
# they find along the way into a copy under build/fuzz, never into the repository. A crash, a
# leak, a timeout or running out of memory fails the run: the input is printed in hex and kept
# under build/fuzz/findings.
#
# Usage: tests/fuzz/run.sh [SECONDS] [TARGET...]   (60 s each and every target by default)
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
seconds=${1:-60}
shift || true
targets=(package_fuzz apply_fuzz section_fuzz delta_fuzz)
[ $# -eq 0 ] || targets=("$@")

cd "$root"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz --target "${targets[@]}"

failed=0
for target in "${targets[@]}"; do
    work=$root/build/fuzz/run/$target
    findings=$root/build/fuzz/findings/$target
    rm -rf "$work" "$findings"
    mkdir -p "$work" "$findings"
    cp -r "tests/fuzz/corpus/$target/." "$work/"
    log=$root/build/fuzz/$target.log
    if build/fuzz/"$target" "$work" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 \
        -artifact_prefix="$findings/" -print_final_stats=1 >"$log" 2>&1; then
        echo "fuzz $target: $(grep -o 'cov: [0-9]* ft: [0-9]*' "$log" | tail -n 1), $(grep -o \
            'stat::number_of_executed_units: [0-9]*' "$log" | awk '{ print $2 }') runs, no finding"
    else
        failed=1
        echo "fuzz $target: FAILED; the end of $log:"
        tail -n 40 "$log"
        for input in "$findings"/*; do
            [ -f "$input" ] || continue
            echo "input $input ($(stat -c %s "$input") bytes):"
            od -An -tx1 -v "$input" | head -n 64
        done
    fi
done
exit "$failed"
