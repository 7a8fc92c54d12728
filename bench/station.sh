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
#   bench/station.sh --web-only        only the runs with and without the
#                                      HTTP side (--http under 10 board
#                                      streams and a scrape a second), and
#                                      replace just their part of section 5
#
# Environment: BUILD_DIR (default build/h-bench), JOBS (default 2).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=${BUILD_DIR:-build/h-bench}
jobs=${JOBS:-2}
quick=0 section="" web_only=0
while (($#)); do
    case $1 in
    --quick) quick=1 ;;
    --section) section=$2; shift ;;
    --web-only) web_only=1 ;;
    *) echo "usage: bench/station.sh [--quick] [--section FILE] [--web-only]" >&2; exit 2 ;;
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
    counts="1 4" awakes="0" controls="4" paced=$((16 * KiB)) unpaced=$((256 * KiB)) many=4 idle_s=2 spin_s=2
    web_ports=4 web_rounds=1
else
    # 256 KiB is 1028 blocks, 24.6 s of wire time per port: the per-block
    # figures settle well within that, and the whole set stays in minutes.
    counts="1 8 16 32" awakes="1 0" controls="16 32" paced=$((256 * KiB)) unpaced=$((1024 * KiB)) many=32
    idle_s=10 spin_s=10
    # The HTTP side: 16 ports as the target names them, with and without
    # it in turn, three times, so a drift of the machine hits both alike.
    web_ports=16 web_rounds=3
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
paced() { run --file "$work/paced.wzb" --baud 115200 "$@"; }
web_runs() {
    local r
    for ((r = 1; r <= web_rounds; r++)); do
        paced --boxes bench --ports "$web_ports" --awake 0 --series web
        paced --boxes bench --ports "$web_ports" --awake 0 --series web --web 10
    done
}
if ((web_only)); then
    web_runs
else
# What the host takes from CPUs that never rest (what --awake does).
for n in 1 2; do
    run --spin-seconds "$spin_s" --spinners "$n"
done
for n in $counts; do
    for awake in $awakes; do
        paced --boxsim "$box" --ports "$n" --awake "$awake"
    done
done
# The control: as many single-port CLI processes side by side.
for n in $controls; do
    paced --boxsim "$box" --ports "$n" --awake 0 --separate 1
done
for n in $counts; do
    for awake in $awakes; do
        paced --boxes bench --ports "$n" --awake "$awake"
    done
done
for n in 1 "$many"; do
    run --boxsim "$box" --file "$work/unpaced.wzb" --ports "$n" --baud 0
done
for n in 1 "$many"; do
    run --file "$work/paced.wzb" --ports "$n" --idle-seconds "$idle_s"
done
web_runs
fi
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
points() { awk -v a="$1" -v r="$2" 'BEGIN { if (a == "" || r == "") print "–"; else printf "%+.2f", a - r }'; }
cpus() { [[ $1 == 1 ]] && echo "kept awake" || echo "idle"; }

report() {
    local n awake ref l
    echo "## 5. Station: many ports in one run"
    echo
    echo "One \`zurivavave-cli\` run serves N boxes at once on N pseudo-terminals,"
    echo "every port with its own threads in the CLI, paced to 115200 baud. Run by"
    echo "\`bench/station.sh$([[ $quick == 1 ]] && echo ' --quick')\` on $started: $(nproc) CPUs ($(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -1)), $(uname -sr),"
    echo "$(kib "$paced") per port, ${elapsed} s in all. Before it: \`$(sed 's/^ *//' <<<"$uptime_before")\`."
    echo
    echo "Each port's efficiency uses the model of section 2: the exact wire time of"
    echo "the download against the time from starting the CLI to the end of that"
    echo "port's box (the \`end\` of its \`--json\` record); \"steady\" is the port's"
    echo "interval between consecutive replies against one block's wire time. CLI"
    echo "CPU is user + system time of the whole process from \`wait4()\` over its"
    echo "wall time, in % of one core (the machine has 2). \"others\" is what the rest"
    echo "of the machine used meanwhile: /proc/stat busy time less the bench, its"
    echo "keep-awake spinners, its children and, in brackets, the kernel's workers"
    echo "(a pty hands its data on in them, so most of that is ours); /proc/stat is"
    echo "sampled on timer ticks, so it is good to a few % of a core, less on the"
    echo "short unpaced runs. The load average counts the run's own processes too."
    echo
    echo "### Against the simulator: one \`zurivavave-boxsim --pty --baud 115200\` per port"
    echo
    echo "| ports | CPUs | port efficiency % min / median / max | worst port vs 1 port, points | steady % min / median / max | CLI CPU % total | CLI CPU % per port | CLI µs per block | simulators' CPU % | others' CPU % (kernel workers) | load 1 min before / after | boxes OK |"
    echo "|---|---|---|---|---|---|---|---|---|---|---|---|"
    # prow LINE LABEL CPUS REF: one row of the table.
    prow() {
        local l=$1
        [[ -n $l ]] || return 0
        echo "| $2 | $3 | $(get "$l" eff_min) / $(get "$l" eff_median) / $(get "$l" eff_max) | $(points "$(get "$l" eff_min)" "$4") | $(get "$l" steady_min) / $(get "$l" steady_median) / $(get "$l" steady_max) | $(get "$l" cli_cpu_pct) | **$(get "$l" cli_cpu_pct_per_port)** | $(get "$l" cli_us_per_block) | $(get "$l" boxes_cpu_pct) | $(get "$l" others_pct) ($(get "$l" kworkers_pct)) | $(get "$l" load_before) / $(get "$l" load_after) | $(get "$l" boxes_ok) of $(get "$l" ports) |"
    }
    for awake in $awakes; do
        ref=$(get "$(line station "awake=$awake baud=115200 ports=1 separate=0")" eff_median)
        for n in $counts; do
            prow "$(line station "awake=$awake baud=115200 ports=$n separate=0")" "$n" "$(cpus "$awake")" "$ref"
        done
    done
    ref=$(get "$(line station "awake=0 baud=115200 ports=1 separate=0")" eff_median)
    for n in $controls; do
        prow "$(line station "awake=0 baud=115200 ports=$n separate=1")" "$n, one CLI process per port" idle "$ref"
    done
    echo
    echo "The last rows are the control: the same boxes served by as many"
    echo "single-port runs side by side, so whatever one run serving every port"
    echo "costs beyond that shows as the difference."
    echo
    echo "### Against the bench's own boxes: one thread per port, exact wire timing"
    echo
    echo "A simulator busy-waits through every request it sends (12 bytes, 1 ms at"
    echo "115200), and it times a reply's wire from the moment it wakes to read it,"
    echo "so its own scheduling delays count as line time; with many of them on 2"
    echo "CPUs that is their cost, not the CLI's. Here \`zv-bench station --boxes"
    echo "bench\` plays every box in one thread per port (the model of the \`ideal\`"
    echo "rows of section 2), which sleeps instead of spinning and runs at"
    echo "SCHED_FIFO, so it neither holds a CPU a CLI thread wakes on nor waits"
    echo "behind one. Efficiency: wire time of all blocks against the time from the"
    echo "first request to the last reply; \"beyond the wire\" is the rest per block;"
    echo "the answer time runs from handing a request over to the first byte of its"
    echo "reply; the boxes' own lateness in handing requests over is in the total."
    echo
    echo "| ports | CPUs | port efficiency % min / median / max | worst port vs 1 port, points | beyond the wire µs/block, median / worst port | answer µs median / p99 / max | answers > 5 ms | boxes late µs/block | CLI CPU % total | CLI CPU % per port | CLI µs per block | others' CPU % (kernel workers) | load 1 min before / after | boxes OK |"
    echo "|---|---|---|---|---|---|---|---|---|---|---|---|---|---|"
    for awake in $awakes; do
        ref=$(get "$(line station_bench "awake=$awake ports=1 series=-")" eff_median)
        for n in $counts; do
            l=$(line station_bench "awake=$awake ports=$n series=-")
            [[ -n $l ]] || continue
            echo "| $n | $(cpus "$awake") | $(get "$l" eff_min) / $(get "$l" eff_median) / $(get "$l" eff_max) | $(points "$(get "$l" eff_min)" "$ref") | $(get "$l" host_us_per_block_median) / $(get "$l" host_us_per_block_max) | $(get "$l" turnaround_median_us) / $(get "$l" turnaround_p99_us) / $(get "$l" turnaround_max_us) | $(get "$l" slow_5ms) | $(get "$l" box_late_us_per_block) | $(get "$l" cli_cpu_pct) | **$(get "$l" cli_cpu_pct_per_port)** | $(get "$l" cli_us_per_block) | $(get "$l" others_pct) ($(get "$l" kworkers_pct)) | $(get "$l" load_before) / $(get "$l" load_after) | $(get "$l" boxes_ok) of $n |"
        done
    done
    echo
    echo "Targets: every port within 1 point of the single-port efficiency up to 16"
    echo "ports (\"worst port vs 1 port\" sets the slowest port against the 1-port run"
    echo "of the same series; section 2 has the single-port figures over longer"
    echo "files); the CLI under 2 % of one core per port."
    echo
    echo "### Machine check: what the host takes from CPUs that never rest"
    echo
    echo "Threads pinned one per CPU spin and time every gap of more than 1 ms"
    echo "between two clock readings. The guest counts no steal time for it, but the"
    echo "time is gone; \`--awake\` keeps the CPUs busy in just this way."
    echo
    echo "| spinning threads | seconds | time lost % | gaps/s | longest gap ms |"
    echo "|---|---|---|---|---|"
    for n in 1 2; do
        l=$(line station_spin "spinners=$n")
        [[ -n $l ]] || continue
        echo "| $n | $(get "$l" seconds) | $(get "$l" lost_pct) | $(get "$l" gaps_per_s) | $(get "$l" max_gap_ms) |"
    done
    echo
    echo "### CLI cost without pacing, and while waiting"
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
    web_report
    echo "Raw results of this section:"
    echo
    echo '```'
    grep '^RESULT' "$log" | grep -v ' series=web' || true
    echo '```'
    echo
}

# The HTTP side's part of the section: the same ports with and without it.
web_report() {
    local l r=0 mode
    echo "### The HTTP side under load"
    echo
    echo "The same $web_ports ports against the bench's boxes (CPUs idle), run by turns without"
    echo "and with \`--http\`: then 10 board clients stream \`/api/events\` and read all of"
    echo "it, a scraper fetches \`/metrics\` every second, and a prober times"
    echo "\`/api/state\` ten times a second (connect to last byte, a new connection"
    echo "each time), all from the first box's greeting to the last box's end. Run"
    echo "by \`bench/station.sh$([[ $web_only == 1 ]] && echo ' --web-only')$([[ $quick == 1 ]] && echo ' --quick')\` on $started, $(kib "$paced") per port."
    echo
    echo "| round | HTTP | port efficiency % min / median / max | CLI CPU % of one core | /api/state ms p50 / p99 / max | streams open at the end | events per stream | scrapes OK |"
    echo "|---|---|---|---|---|---|---|---|"
    while read -r l; do
        [[ -n $l ]] || continue
        if [[ $(get "$l" web) == -1 ]]; then
            r=$((r + 1))
            mode=off
            echo "| $r | off | $(get "$l" eff_min) / $(get "$l" eff_median) / $(get "$l" eff_max) | $(get "$l" cli_cpu_pct) | – | – | – | – |"
        else
            echo "| $r | 10 streams, scrape 1/s | $(get "$l" eff_min) / $(get "$l" eff_median) / $(get "$l" eff_max) | $(get "$l" cli_cpu_pct) | $(get "$l" state_p50_ms) / **$(get "$l" state_p99_ms)** / $(get "$l" state_max_ms) | $(get "$l" streams_open) of 10 | $(awk -v e="$(get "$l" stream_events)" 'BEGIN { printf "%.0f", e / 10 }') | $(get "$l" scrapes_ok) |"
        fi
    done < <(grep "^RESULT station_bench .* series=web" "$log")
    # Means over the rounds: with less without.
    grep "^RESULT station_bench .* series=web" "$log" | awk '
        { for (i = 2; i <= NF; i++) { split($i, kv, "="); v[kv[1]] = kv[2] }
          k = v["web"] == -1 ? "off" : "on"; n[k]++; emin[k] += v["eff_min"]; emed[k] += v["eff_median"]; cpu[k] += v["cli_cpu_pct"]
          if (k == "off") { offmin = v["eff_min"]; offcpu = v["cli_cpu_pct"] }
          else { rounds = rounds sprintf("%s%+.2f / %+.2f", rounds == "" ? "" : ", ", v["eff_min"] - offmin, v["cli_cpu_pct"] - offcpu) } }
        END { if (n["off"] && n["on"])
          printf "\nMeans over %d rounds, with the HTTP side less without: worst port %+.2f points, median port %+.2f points, CLI CPU %+.2f %% of one core. Round by round, worst port points / CLI CPU %%: %s.\n\n",
            n["on"], emin["on"] / n["on"] - emin["off"] / n["off"], emed["on"] / n["on"] - emed["off"] / n["off"],
            cpu["on"] / n["on"] - cpu["off"] / n["off"], rounds }'
    echo "Targets: every port's efficiency within 0.3 points, the CLI's CPU up by less"
    echo "than 1 % of one core."
    echo
    echo '```'
    grep "^RESULT station_bench .* series=web" "$log" || true
    echo '```'
    echo
}

if ((web_only)); then
    # Replace the HTTP side's part of section 5 (or add it at its end).
    results=$root/bench/RESULTS.md
    web_report >"$work/web.md"
    awk -v file="$work/web.md" '
        function put() { while ((getline l < file) > 0) print l; done = 1 }
        /^## 5\. Station/ { in5 = 1 }
        in5 && /^### The HTTP side under load/ { put(); skip = 1; next }
        skip && /^##/ { skip = 0 }
        skip && /^Raw results of this section/ { skip = 0 }
        skip { next }
        in5 && !done && (/^Raw results of this section/ || (/^## / && !/^## 5\./)) { put(); in5 = 0 }
        { print }
        END { if (!done) { print ""; put() } }
    ' "$results" >"$work/RESULTS.md"
    cp "$work/RESULTS.md" "$results"
elif [[ -n $section ]]; then
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
