#!/usr/bin/env bash
# The station benchmark: one zurivavave-cli run serving 1, 8, 16 and 32
# simulated boxes at once (one zurivavave-boxsim --pty per port), paced to
# 115200 baud, with CPUs kept awake and idle, and two controls (one CLI
# process per port; the simulators in the lowest scheduling class); then 32
# unpaced ports for the CLI's own cost per block, and 32 silent ports for
# its cost while waiting. Writes section 5 of bench/RESULTS.md. About 7
# minutes; not a test.
#
#   bench/station.sh                   run, then replace (or add) section 5
#                                      of bench/RESULTS.md
#   bench/station.sh --quick           small files and few ports (~15 s)
#   bench/station.sh --section FILE    write the section to FILE instead
#                                      (bench/run.sh puts it into its report)
#
# Environment: BUILD_DIR (default build/h-bench), JOBS (default 2).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=${BUILD_DIR:-build/h-bench}
jobs=${JOBS:-2}
quick=0 section=""
while (($#)); do
    case $1 in
    --quick) quick=1 ;;
    --section) section=$2; shift ;;
    *) echo "usage: bench/station.sh [--quick] [--section FILE]" >&2; exit 2 ;;
    esac
    shift
done

cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j"$jobs" --target zurivavave-cli zurivavave-boxsim zv-bench >/dev/null
cli=$root/$build/cli/zurivavave-cli
box=$root/$build/tools/boxsim/zurivavave-boxsim
zvb=$root/$build/bench/zv-bench

work=$(mktemp -d "${TMPDIR:-/tmp}/zv-station-XXXXXX")
trap 'rm -rf "$work"' EXIT
log=$work/results.log

KiB=1024
if ((quick)); then
    counts="1 4" awakes="0" controls="4" paced=$((16 * KiB)) unpaced=$((256 * KiB)) many=4 idle_s=2
else
    # 256 KiB is 1028 blocks, 24.6 s of wire time per port: the per-block
    # figures settle well within that, and the whole set stays in minutes.
    counts="1 8 16 32" awakes="1 0" controls="16 32" paced=$((256 * KiB)) unpaced=$((1024 * KiB)) many=32 idle_s=10
fi
head -c "$paced" /dev/urandom >"$work/paced.wzb"
head -c "$unpaced" /dev/urandom >"$work/unpaced.wzb"

start=$SECONDS
started=$(date -u '+%Y-%m-%d %H:%M UTC')
uptime_before=$(uptime)
run() {
    printf '== station %s (%ds, load %s)\n' "$*" $((SECONDS - start)) "$(cut -d' ' -f1-3 /proc/loadavg)" >&2
    # A failed run still prints its RESULT line; the report shows its boxes.
    "$zvb" station --cli "$cli" "$@" | tee -a "$log" | grep '^RESULT' >&2 || true
}
paced() { run --boxsim "$box" --file "$work/paced.wzb" --baud 115200 "$@"; }
for n in $counts; do
    for awake in $awakes; do
        paced --ports "$n" --awake "$awake"
    done
done
# Two controls, with the first CPU setting: as many single-port CLI
# processes side by side; and the simulators at SCHED_IDLE, so that their
# busy-waiting never holds a CPU the CLI's threads wake on.
control_awake=${awakes%% *}
for n in $controls; do
    paced --ports "$n" --awake "$control_awake" --separate 1
done
for n in 1 $controls; do
    paced --ports "$n" --awake "$control_awake" --box-sched idle
done
for n in 1 "$many"; do
    run --boxsim "$box" --file "$work/unpaced.wzb" --ports "$n" --baud 0
done
for n in 1 "$many"; do
    run --file "$work/paced.wzb" --ports "$n" --idle-seconds "$idle_s"
done
elapsed=$((SECONDS - start))

# get LINE KEY: the value of KEY in one RESULT line.
get() { tr ' ' '\n' <<<"$1" | sed -n "s/^$2=//p"; }
# line KIND SELECTORS: the first RESULT line of KIND carrying every KEY=VALUE.
line() {
    local lines s
    lines=$(grep "^RESULT $1 " "$log" || true)
    for s in $2; do lines=$(grep -- " $s\( \|$\)" <<<"$lines" || true); done
    head -1 <<<"$lines"
}
kib() { awk -v b="$1" 'BEGIN { printf "%g KiB", b / 1024 }'; }

report() {
    echo "## 5. Station: many ports in one run"
    echo
    echo "One \`zurivavave-cli\` run serves N simulated boxes at once, one"
    echo "\`zurivavave-boxsim --pty --baud 115200\` process per port, every port"
    echo "with its own threads in the CLI. Each port's efficiency uses the model of"
    echo "section 2: the exact wire time of the download against the time from"
    echo "starting the CLI to the end of that port's box (the \`end\` of its \`--json\`"
    echo "record); \"steady\" is the port's interval between consecutive replies"
    echo "against one block's wire time. CLI CPU is user + system time of the whole"
    echo "process from \`wait4()\` over the CLI's wall time, in % of one core (the"
    echo "machine has 2); the simulators' CPU is the sum over all of them. \"others\""
    echo "is what the rest of the machine used meanwhile: /proc/stat busy time less"
    echo "the bench, its keep-awake spinners, its children and, in brackets, the"
    echo "kernel's workers (a pty hands its data on in them, so most of that is ours)."
    echo "The load average counts the run's own processes too."
    echo
    echo "Run by \`bench/station.sh$([[ $quick == 1 ]] && echo ' --quick')\` on $started, $(nproc) CPUs ($(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -1)), $(uname -sr), $(kib "$paced") paced per port, ${elapsed} s in all. Before it: \`$(sed 's/^ *//' <<<"$uptime_before")\`."
    echo
    echo "| ports | CPUs | port efficiency % min / median / max | worst port vs 1 port, points | steady % min / median / max | CLI CPU % total | CLI CPU % per port | CLI µs per block | simulators' CPU % | others' CPU % (kernel workers) | load 1 min before / after | boxes OK |"
    echo "|---|---|---|---|---|---|---|---|---|---|---|---|"
    local n awake ref cpus
    # prow LINE LABEL CPUS REF: one row of the paced table.
    prow() {
        local l=$1
        [[ -n $l ]] || return 0
        echo "| $2 | $3 | $(get "$l" eff_min) / $(get "$l" eff_median) / $(get "$l" eff_max) | $(awk -v a="$(get "$l" eff_min)" -v r="$4" 'BEGIN { printf "%+.2f", a - r }') | $(get "$l" steady_min) / $(get "$l" steady_median) / $(get "$l" steady_max) | $(get "$l" cli_cpu_pct) | **$(get "$l" cli_cpu_pct_per_port)** | $(get "$l" cli_us_per_block) | $(get "$l" boxes_cpu_pct) | $(get "$l" others_pct) ($(get "$l" kworkers_pct)) | $(get "$l" load_before) / $(get "$l" load_after) | $(get "$l" boxes_ok) of $(get "$l" ports) |"
    }
    for awake in $awakes; do
        cpus=$([[ $awake == 1 ]] && echo "kept awake" || echo "idle")
        ref=$(get "$(line station "awake=$awake baud=115200 ports=1 separate=0 box_sched=normal")" eff_median)
        for n in $counts; do
            prow "$(line station "awake=$awake baud=115200 ports=$n separate=0 box_sched=normal")" "$n" "$cpus" "$ref"
        done
    done
    cpus=$([[ $control_awake == 1 ]] && echo "kept awake" || echo "idle")
    ref=$(get "$(line station "awake=$control_awake baud=115200 ports=1 separate=0 box_sched=normal")" eff_median)
    for n in $controls; do
        prow "$(line station "awake=$control_awake baud=115200 ports=$n separate=1")" "$n, one CLI process per port" "$cpus" "$ref"
    done
    ref=$(get "$(line station "awake=$control_awake baud=115200 ports=1 box_sched=idle")" eff_median)
    for n in 1 $controls; do
        prow "$(line station "awake=$control_awake baud=115200 ports=$n box_sched=idle")" "$n, simulators at SCHED_IDLE" "$cpus" "$ref"
    done
    echo
    echo "Targets: every port within 1 point of the single-port efficiency up to 16"
    echo "ports (\"worst port vs 1 port\" sets the slowest port against the 1-port run"
    echo "of the same series; section 2 has the single-port figure over a longer"
    echo "file); the CLI under 2 % of one core per port."
    echo
    echo "The controls: \"one CLI process per port\" serves the same boxes with as many"
    echo "single-port runs side by side, so whatever one run serving every port costs"
    echo "beyond that shows as the difference. \"Simulators at SCHED_IDLE\" runs every"
    echo "simulator in the lowest scheduling class, so any CLI thread that wakes takes"
    echo "a CPU from them at once: a simulator busy-waits through each request it"
    echo "sends (12 bytes, 1 ms at 115200) and takes a reply's wire time from the"
    echo "moment it wakes to read it, so its own scheduling delays count as line time."
    echo
    echo "Unpaced (\`--baud 0\`): the simulators ask as fast as the CLI answers, so the"
    echo "CPUs are the limit and the figure that counts is the CLI's CPU per block."
    echo "Silent: the CLI waiting on ports where no box ever talks."
    echo
    echo "| run | ports | file | time s | CLI CPU % total | CLI µs per block | per port B/s, median | simulators' CPU % | others' CPU % (kernel workers) | boxes OK |"
    echo "|---|---|---|---|---|---|---|---|---|---|"
    for n in 1 "$many"; do
        l=$(line station "baud=0 ports=$n")
        [[ -n $l ]] || continue
        echo "| unpaced | $n | $(kib "$(get "$l" size)") | $(get "$l" wall_s) | $(get "$l" cli_cpu_pct) | **$(get "$l" cli_us_per_block)** | $(get "$l" port_Bps_median) | $(get "$l" boxes_cpu_pct) | $(get "$l" others_pct) ($(get "$l" kworkers_pct)) | $(get "$l" boxes_ok) of $n |"
    done
    echo
    echo "| silent ports | seconds | CLI CPU % total | per port | wake-ups/s | per port | threads | others' CPU % |"
    echo "|---|---|---|---|---|---|---|---|"
    for n in 1 "$many"; do
        l=$(line station_idle "ports=$n")
        [[ -n $l ]] || continue
        echo "| $n | $(get "$l" seconds) | $(get "$l" cpu_pct) | $(get "$l" cpu_pct_per_port) | $(get "$l" wakeups_per_s) | $(get "$l" wakeups_per_s_per_port) | $(get "$l" threads) | $(get "$l" others_pct) |"
    done
    echo
    echo '```'
    grep '^RESULT' "$log" || true
    echo '```'
    echo
}

if [[ -n $section ]]; then
    report >"$section"
else
    # Replace section 5 of the last full report, or put it before the raw
    # results of that report.
    results=$root/bench/RESULTS.md
    report >"$work/section.md"
    awk -v file="$work/section.md" '
        function put() { while ((getline l < file) > 0) print l; done = 1 }
        /^## 5\. Station/ { put(); skip = 1; next }
        skip && /^## / { skip = 0 }
        skip { next }
        /^## Raw results/ && !done { put() }
        { print }
        END { if (!done) { print ""; put() } }
    ' "$results" >"$work/RESULTS.md"
    cp "$work/RESULTS.md" "$results"
fi
echo "station: ${elapsed} s" >&2
