#!/usr/bin/env bash
# Builds the libFuzzer targets with clang into their own directory and runs
# each for SECONDS (default 60), starting from the seed corpus in the repo.
# New inputs go to a corpus inside the build directory, never into the repo;
# a crash, a failed check, a leak or a hang (10 s per input) fails the run
# and leaves the input under BUILD/artifacts/.
#
#   tests/fuzz/run-fuzz.sh 60
#
# Environment: FUZZ_BUILD_DIR (default build/fuzz), JOBS (default 2),
# FUZZ_TARGETS (default "parse worker").
set -euo pipefail
cd "$(dirname "$0")/../.."
seconds=${1:-60}
build=${FUZZ_BUILD_DIR:-build/fuzz}
jobs=${JOBS:-2}
targets=${FUZZ_TARGETS:-parse worker}

CC=${CC:-clang} CXX=${CXX:-clang++} cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZV_FUZZ=ON >/dev/null
for t in $targets; do
    cmake --build "$build" -j"$jobs" --target "fuzz_$t" >/dev/null
done

mkdir -p "$build/artifacts"
declare -A max_len=([parse]=4096 [worker]=8192)
status=0
total=0
for t in $targets; do
    corpus=$build/corpus/$t
    mkdir -p "$corpus"
    log=$build/fuzz_$t.log
    echo "== fuzz_$t for ${seconds}s"
    if ! "$build/tests/fuzz/fuzz_$t" -max_total_time="$seconds" -timeout=10 -max_len="${max_len[$t]}" \
        -print_final_stats=1 -artifact_prefix="$build/artifacts/$t-" \
        "$corpus" "tests/fuzz/corpus/$t" >"$log" 2>&1; then
        status=1
        echo "fuzz_$t FAILED, see $log:"
        tail -30 "$log"
    fi
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
    cov=$(grep -o 'cov: [0-9]*' "$log" | tail -1 || true)
    echo "fuzz_$t: ${runs:-0} executions, $cov, corpus $(ls "$corpus" | wc -l) files"
    total=$((total + ${runs:-0}))
done
echo "total executions: $total"
exit $status
