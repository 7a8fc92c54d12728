#!/usr/bin/env bash
# Checks the station service as the package installs it under ROOT (a
# scratch root dpkg installed it in, its maintainer scripts run there):
#   - the system user exists, in the group dialout;
#   - every setting of the conffile is explained and reads as systemd's
#     NAME=value lines;
#   - systemd-analyze verify finds nothing to say about the unit, and
#     systemd-analyze security rates its exposure at most MAX_EXPOSURE (in
#     tenths, as its --threshold takes it: 14 is an exposure of 1.4);
#   - the service's command, with the shipped settings and only IMAGE,
#     PORTS and LOG changed, serves a simulated box, records it, and ends on
#     SIGTERM with the status the unit counts as a clean stop; without an
#     image it stops with a message and the status the unit does not retry.
# Nothing here starts a unit or touches this machine's systemd.
#
#   packaging/test-station.sh ROOT [MAX_EXPOSURE]      (default 14)
set -euo pipefail
root=$(cd "${1:?usage: test-station.sh ROOT [MAX_EXPOSURE]}" && pwd)
max=${2:-14}

fail() { echo "test-station: FAILED: $*" >&2; exit 1; }
unit=zurivavave-station.service
conf=$root/etc/zurivavave/station.conf
command=$root/usr/libexec/zurivavave/zurivavave-station
cli=$root/usr/bin/zurivavave-cli
boxsim=$root/usr/bin/zurivavave-boxsim

work=$(mktemp -d)
station=
box=
cleanup() {
    [ -z "$station" ] || kill "$station" 2>/dev/null || true
    [ -z "$box" ] || kill "$box" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

# The user the unit runs as, made by the postinst from sysusers.d.
grep -q '^zurivavave:[^:]*:[0-9]*:[0-9]*:[^:]*:/var/lib/zurivavave:' "$root/etc/passwd" ||
    fail "no system user zurivavave in $root/etc/passwd"
grep -qE '^dialout:[^:]*:[0-9]+:(.*,)?zurivavave(,|$)' "$root/etc/group" ||
    fail "zurivavave is not in the group dialout: $(grep '^dialout:' "$root/etc/group")"

# Every setting is a NAME=value line systemd reads as the shell would, and
# comes after a comment that explains it.
awk '
    /^#/ { explained = 1; next }
    /^$/ { explained = 0; next }
    !/^[A-Z][A-Z0-9_]*=("[^"]*"|[^"'"'"' ]*)$/ { print "not a NAME=value line: " $0; bad = 1; next }
    !explained { print "not explained: " $0; bad = 1 }
    END { exit bad }' "$conf" || fail "$conf"

# verify needs the units the station's refers to (targets, modprobe@): this
# machine's, beside the package's, in a copy of the root.
vroot=$work/root
cp -a "$root/." "$vroot"
cp -an /lib/systemd/system/. "$vroot/lib/systemd/system/"
said=$(MANPATH=$vroot/usr/share/man systemd-analyze verify --root="$vroot" "$unit" 2>&1) ||
    fail "systemd-analyze verify $unit: $said"
[ -z "$said" ] || fail "systemd-analyze verify $unit: $said"
security=$(systemd-analyze security --offline=true --root="$vroot" --threshold="$max" "$unit" 2>&1) ||
    fail "systemd-analyze security $unit: exposure above $max tenths: $(tail -1 <<<"$security")"
echo "systemd-analyze verify: nothing to say; security: $(tail -1 <<<"$security" | sed 's/^→ //')"

# The settings as shipped, with what a station must say for itself.
settings() {
    sed -e "s|^IMAGE=.*|IMAGE=$1|" -e "s|^PORTS=.*|PORTS=\"$2\"|" -e "s|^LOG=.*|LOG=$work/shift.jsonl|" "$conf"
}
# Runs the service's command with the settings in the environment, as
# EnvironmentFile= gives them; exec all the way, so the caller's $! is the
# downloader itself.
run_station() { exec env -i PATH=/usr/bin:/bin sh -c 'set -a; . "$1"; exec "$2"' station "$1" "$command"; }

settings "" "/dev/ttyUSB0" >"$work/no-image.conf"
if out=$(run_station "$work/no-image.conf" 2>&1); then
    fail "the station started without an image"
else
    status=$?
fi
[ "$status" = 2 ] && grep -q 'IMAGE is not set' <<<"$out" ||
    fail "without an image: exit $status (want 2, which the unit does not retry): $out"

head -c 50000 /dev/urandom >"$work/fw.wzb"
"$boxsim" --pty --link "$work/bay0" --wait-host --hello-timeout 60000 --expect "$work/fw.wzb" >"$work/box.out" 2>&1 &
box=$!
for _ in $(seq 600); do
    [ -e "$work/bay0" ] || ! kill -0 "$box" 2>/dev/null && break
    sleep 0.1
done
[ -e "$work/bay0" ] || fail "the simulator made no line: $(cat "$work/box.out")"
# A pattern, passed on unexpanded: the downloader matches it.
settings "$work/fw.wzb" "$work/bay*" >"$work/station.conf"
run_station "$work/station.conf" >"$work/station.out" 2>&1 &
station=$!
for _ in $(seq 1200); do
    [ -s "$work/shift.jsonl" ] || ! kill -0 "$station" 2>/dev/null && break
    sleep 0.1
done
[ -s "$work/shift.jsonl" ] || fail "the station recorded no box: $(cat "$work/station.out")"
wait "$box" || fail "the simulated box did not receive the image: $(cat "$work/box.out")"
box=
# systemctl stop sends SIGTERM: 130 is what the unit counts as success.
kill -TERM "$station"
status=0
wait "$station" || status=$?
station=
[ "$status" = 130 ] || fail "the station ended with $status on SIGTERM (want 130): $(cat "$work/station.out")"
report=$("$cli" --report "$work/shift.jsonl")
grep -q '^Yield: 100.0 % (1 of 1)$' <<<"$report" || fail "the station's record: $report"
echo "test-station: the station's command served a box from the shipped settings, recorded it and stopped cleanly"
