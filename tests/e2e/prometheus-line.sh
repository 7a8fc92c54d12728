#!/bin/bash
# A line of two stations watched by a real Prometheus server: two
# zurivavave-cli runs (--http on ports the system chose) serve their box
# simulators, a Prometheus started here on loopback scrapes both, and its
# query API must give the line's completed boxes as the sum of the two
# logs, with both stations up.
#
#   prometheus-line.sh CLI BOXSIM
set -u
[ $# -eq 2 ] || { sed -n '2,8p' "$0" >&2; exit 2; }
cli=$1 boxsim=$2
prom=$(command -v prometheus) || { echo "FAILED: no prometheus (scripts/install-deps.sh test installs it)" >&2; exit 1; }

work=$(mktemp -d "${TMPDIR:-/tmp}/zv-prometheus-line.XXXXXX")
pids=()
cleanup() {
    local p i
    for p in "${pids[@]}"; do kill -TERM "$p" 2>/dev/null; done
    for p in "${pids[@]}"; do
        for ((i = 0; i < 100; i++)); do kill -0 "$p" 2>/dev/null || break; sleep 0.05; done
        kill -KILL "$p" 2>/dev/null
    done
    rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAILED: $*" >&2; for f in "$work"/*.err "$work"/prometheus.log; do [ -s "$f" ] && { echo "--- $f" >&2; tail -20 "$f" >&2; }; done; exit 1; }

# until SECONDS COMMAND...: runs COMMAND every 0.1 s until it succeeds.
until_ok() {
    local limit=$(( $1 * 10 )) i
    shift
    for ((i = 0; i < limit; i++)); do "$@" && return 0; sleep 0.1; done
    return 1
}
has_line() { [ -n "$(sed -n "$2" "$1" 2>/dev/null)" ]; }
lines_are() { [ "$(wc -l <"$1" 2>/dev/null)" = "$2" ]; }

head -c 8192 /dev/urandom >"$work/fw.wzb"

# station NAME BOXES [FAULT ARGS...]: a CLI run on two simulated lines of
# BOXES boxes each; the second line's boxes get FAULT ARGS.
station() {
    local name=$1 boxes=$2 k ports=()
    shift 2
    for k in 1 2; do
        local extra=()
        [ "$k" = 2 ] && extra=("$@")
        # Each simulator keeps its line until the end: a pty given up is
        # soon another program's, and the station would serve its boxes.
        "$boxsim" --pty --wait-host --expect "$work/fw.wzb" --boxes "$boxes" --box-pause 200 --hello-timeout 30000 \
            --linger 600000 \
            "${extra[@]}" >"$work/$name-box$k.out" 2>"$work/$name-box$k.err" &
        pids+=($!)
        until_ok 10 has_line "$work/$name-box$k.out" '1s/^PTY //p' || fail "$name: no pty from the simulator"
        ports+=(-p "$(sed -n '1s/^PTY //p' "$work/$name-box$k.out")")
    done
    "$cli" --loop --log "$work/$name.jsonl" --http 127.0.0.1:0 "${ports[@]}" "$work/fw.wzb" \
        >"$work/$name.out" 2>"$work/$name.err" &
    pids+=($!)
    eval "${name}_pid=$!"
    until_ok 20 grep -q 'board at http://127.0.0.1:' "$work/$name.err" || fail "$name: no board URL"
    eval "${name}_target=$(sed -n 's|.*board at http://\(127.0.0.1:[0-9]*\)/.*|\1|p' "$work/$name.err" | head -1)"
}
station a 3
station b 2 --fault-box 1 --past-end
until_ok 60 lines_are "$work/a.jsonl" 6 || fail "station a: $(wc -l <"$work/a.jsonl") of 6 records"
until_ok 60 lines_are "$work/b.jsonl" 4 || fail "station b: $(wc -l <"$work/b.jsonl") of 4 records"
completed=$(cat "$work/a.jsonl" "$work/b.jsonl" | grep -c '"result":"completed"')
[ "$completed" = 9 ] || fail "the simulators should complete 9 boxes, the logs say $completed"

# The line's scrape configuration, as a line's monitoring would have it.
cat >"$work/prometheus.yml" <<YML
global:
  scrape_interval: 1s
  scrape_timeout: 1s
scrape_configs:
  - job_name: line
    static_configs:
      - targets: ['${a_target:?}', '${b_target:?}']
YML
"$prom" --config.file="$work/prometheus.yml" --storage.tsdb.path="$work/tsdb" \
    --web.listen-address=127.0.0.1:0 >"$work/prometheus.log" 2>&1 &
prom_pid=$!
pids+=($prom_pid)
# Where it listens: the port the system gave it, as its log says.
prom_at() { sed -n 's/.*msg="Listening on" address=\(127\.0\.0\.1:[0-9][0-9]*\).*/\1/p' "$work/prometheus.log" | head -1; }
listening() { [ -n "$(prom_at)" ]; }
until_ok 30 listening || fail "prometheus is not listening"
api="http://$(prom_at)/api/v1/query"
query() { curl -s --max-time 5 --get --data-urlencode "query=$1" "$api" | sed -n 's/.*"value":\[[^,]*,"\([^"]*\)"\].*/\1/p'; }
is() { [ "$(query "$1")" = "$2" ]; }

until_ok 60 is 'count(up{job="line"} == 1)' 2 || fail "both stations up: got '$(query 'count(up{job="line"} == 1)')'"
until_ok 60 is 'sum(zurivavave_boxes_total{job="line",result="completed"})' "$completed" || {
    for t in "$a_target" "$b_target"; do curl -s "http://$t/metrics" | grep '^zurivavave_boxes_total' >&2; done
    curl -s --get --data-urlencode 'query=zurivavave_boxes_total' "$api" >&2
    fail "the line's completed boxes: prometheus says '$(query 'sum(zurivavave_boxes_total{job="line",result="completed"})')', the logs $completed"
}
failed=$(query 'sum(zurivavave_boxes_total{job="line",result!="completed"})')
[ "$failed" = 1 ] || fail "the line's other boxes: '$failed', want 1"

for s in a b; do
    pid=${s}_pid
    kill -TERM "${!pid}"
    wait "${!pid}"
    rc=$?
    [ "$rc" = 130 ] || fail "station $s ended with $rc, want 130"
done
[ "$(cat "$work/a.jsonl" "$work/b.jsonl" | grep -c '"result":"completed"')" = "$completed" ] || fail "the logs changed"
echo "OK: prometheus counted $completed completed boxes on the line of two stations, as their logs do"
