#!/usr/bin/env bash
# A whole line in one simulator: one zurivavave-cli run serving 1, 8, 16 and
# 32 ports at 115200 baud against one `zurivavave-boxsim --lines N` process,
# against the bench's own boxes (one sleeping SCHED_FIFO thread per port)
# and, as it was before --lines, against one simulator process per port.
# Every port count runs the three side by side, in rounds, so the load of a
# shared machine falls on all of them alike. Writes section 7 of
# bench/RESULTS.md. About 10 minutes; not a test.
#
#   bench/lines.sh                    run, then replace (or add) section 7
#                                     of bench/RESULTS.md
#   bench/lines.sh --quick            small files and few ports (~40 s)
#   bench/lines.sh --section FILE     write the section to FILE instead
#                                     (bench/run.sh puts it into its report)
#
# Environment: BUILD_DIR (default build/h-bench), JOBS (default 2),
# ROUNDS (default 2).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=${BUILD_DIR:-build/h-bench}
jobs=${JOBS:-2}
rounds=${ROUNDS:-2}
quick=0 section=""
while (($#)); do
    case $1 in
    --quick) quick=1 ;;
    --section) section=$2; shift ;;
    *) echo "usage: bench/lines.sh [--quick] [--section FILE]" >&2; exit 2 ;;
    esac
    shift
done

cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j"$jobs" --target zurivavave-cli zurivavave-boxsim zv-bench >/dev/null
cli=$root/$build/cli/zurivavave-cli
box=$root/$build/tools/boxsim/zurivavave-boxsim
zvb=$root/$build/bench/zv-bench

work=$(mktemp -d "${TMPDIR:-/tmp}/zv-lines-XXXXXX")
trap 'rm -rf "$work"' EXIT
log=$work/results.log

if ((quick)); then
    counts="1 4" separate="1 4" size=$((16 * 1024)) rounds=1
else
    # 256 KiB: 1028 blocks, 24.6 s of wire per port, as section 5.
    counts="1 8 16 32" separate="1 16 32" size=$((256 * 1024))
fi
head -c "$size" /dev/urandom >"$work/paced.wzb"

start=$SECONDS
started=$(date -u '+%Y-%m-%d %H:%M UTC')
uptime_before=$(uptime)
run() {
    printf '== lines round %s: %s (%ds, load %s)\n' "$round" "$*" $((SECONDS - start)) \
        "$(cut -d' ' -f1-3 /proc/loadavg)" >&2
    # A failed run still prints its RESULT line; the report shows its boxes.
    "$zvb" station --cli "$cli" --boxsim "$box" --file "$work/paced.wzb" --baud 115200 --awake 0 "$@" |
        sed "s/^RESULT [a-z_]*/& round=$round/" | tee -a "$log" | grep '^RESULT' >&2 || true
}
for round in $(seq 1 "$rounds"); do
    for n in $counts; do
        run --ports "$n" --boxes lines
        run --ports "$n" --boxes bench
        [[ " $separate " == *" $n "* ]] && run --ports "$n"
    done
done
elapsed=$((SECONDS - start))

get() { tr ' ' '\n' <<<"$1" | sed -n "s/^$2=//p"; }
# line KIND SELECTORS: the first RESULT line of KIND carrying every KEY=VALUE.
line() {
    local lines s
    lines=$(grep "^RESULT $1 " "$log" || true)
    for s in $2; do lines=$(grep -- " $s\( \|$\)" <<<"$lines" || true); done
    head -1 <<<"$lines"
}
points() { awk -v a="$1" -v r="$2" 'BEGIN { if (a == "" || r == "") print "–"; else printf "%+.2f", a - r }'; }

report() {
    local round n kind label ref l
    echo "## 7. A whole line in one simulator"
    echo
    echo "One \`zurivavave-cli\` run serves N ports at 115200 baud, CPUs idle, $((size / 1024)) KiB"
    echo "per port, against three kinds of boxes, run side by side for every port"
    echo "count, in $rounds round(s): one \`zurivavave-boxsim --pty --lines N --baud 115200\`"
    echo "process playing every port (each line paced from a thread of its own that"
    echo "sleeps to the wire's deadlines; a frame goes over whole once its last byte"
    echo "has crossed); the bench's own boxes of section 5 (one sleeping SCHED_FIFO"
    echo "thread per port); and, as before \`--lines\`, one simulator process per port"
    echo "(which sends byte by byte, spinning the last 0.3 ms to each byte). Run by"
    echo "\`bench/lines.sh$([[ $quick == 1 ]] && echo ' --quick')\` on $started: $(nproc) CPUs ($(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -1)), $(uname -sr),"
    echo "${elapsed} s in all. Before it: \`$(sed 's/^ *//' <<<"$uptime_before")\`."
    echo
    echo "Port efficiency is section 5's for each kind: against a simulator, the"
    echo "exact wire time of the download against the time from starting the CLI to"
    echo "the end of that port's box (its \`--json\` record); against the bench's"
    echo "boxes, the wire time of all blocks against the time from the first request"
    echo "to the last reply. The two differ by the CLI's start and the greeting"
    echo "(a few tens of ms a download), so each kind is set against its own 1-port"
    echo "run of the same round. \"boxes' CPU\" is the simulator process (or all of"
    echo "them, or the bench's box threads) in % of one core over the run."
    echo
    echo "| round | ports | boxes | port efficiency % min / median / max | worst port vs 1 port, points | boxes' CPU % | CLI CPU % per port | others' CPU % (kernel workers) | load 1 min before / after | boxes OK |"
    echo "|---|---|---|---|---|---|---|---|---|---|"
    for round in $(seq 1 "$rounds"); do
        for kind in station_lines station_bench station; do
            case $kind in
            station_lines) label="one \`boxsim --lines\`" ;;
            station_bench) label="the bench's own" ;;
            station) label="one \`boxsim\` per port" ;;
            esac
            ref=$(get "$(line "$kind" "round=$round ports=1")" eff_median)
            for n in $counts; do
                l=$(line "$kind" "round=$round ports=$n")
                [[ -n $l ]] || continue
                echo "| $round | $n | $label | $(get "$l" eff_min) / $(get "$l" eff_median) / $(get "$l" eff_max) | $(points "$(get "$l" eff_min)" "$ref") | $(get "$l" boxes_cpu_pct) | $(get "$l" cli_cpu_pct_per_port) | $(get "$l" others_pct) ($(get "$l" kworkers_pct)) | $(get "$l" load_before) / $(get "$l" load_after) | $(get "$l" boxes_ok) of $n |"
            done
        done
    done
    echo
    echo "Target: with one \`--lines\` process every port within 1 point of its"
    echo "1-port run up to 32 ports, as with the bench's own boxes."
    echo
    echo "Raw results of this section:"
    echo
    echo '```'
    grep '^RESULT' "$log" || true
    echo '```'
    echo
}

if [[ -n $section ]]; then
    report >"$section"
else
    # Replace section 7 of the last full report, or put it before the raw
    # results of that report.
    results=$root/bench/RESULTS.md
    report >"$work/section.md"
    awk -v file="$work/section.md" '
        function put() { while ((getline l < file) > 0) print l; done = 1 }
        /^## 7\. A whole line/ { put(); skip = 1; next }
        skip && /^## / { skip = 0 }
        skip { next }
        /^## Raw results/ && !done { put() }
        { print }
        END { if (!done) { print ""; put() } }
    ' "$results" >"$work/RESULTS.md"
    cp "$work/RESULTS.md" "$results"
fi
echo "lines: ${elapsed} s" >&2
