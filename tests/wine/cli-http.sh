#!/bin/bash
# zurivavave-cli.exe --http under wine answers /api/state while it serves a
# box on COM1: the Beast server of the Windows build, seen from Linux. The
# box goes silent after a few requests, so the station shows it downloading
# until its watchdog gives up (about 13 s); the run then ends with exit 6.
#
#   cli-http.sh PREFIX BOXSIM CLI.exe
set -u

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
[ $# -eq 3 ] || { sed -n '2,8p' "$0" >&2; exit 2; }
prefix=$1 boxsim=$2 cli=$3
if [ ! -x "$boxsim" ]; then
    echo "SKIPPED: no box simulator at $boxsim" >&2
    exit 77
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/zv-cli-http.XXXXXX")
run_pid=
cleanup() {
    [ -n "$run_pid" ] && kill -TERM "$run_pid" 2>/dev/null && wait "$run_pid"
    rm -rf "$work"
}
trap cleanup EXIT
head -c 30000 /dev/urandom >"$work/image.wzb"

"$here/run-e2e.sh" "$prefix" \
    "$boxsim" --pty --wait-host --expect "$work/image.wzb" --hello-timeout 60000 --silent-after 20 --hold 30000 -- \
    "$cli" --http 127.0.0.1:0 --port COM1 "Z:$work/image.wzb" >"$work/out" 2>"$work/err" &
run_pid=$!

url= state=
while kill -0 "$run_pid" 2>/dev/null; do
    [ -n "$url" ] || url=$(sed -n 's|.*board at \(http://127\.0\.0\.1:[0-9]*/\).*|\1|p' "$work/err" | head -1)
    if [ -n "$url" ]; then
        state=$(curl -s --max-time 5 "${url}api/state")
        case $state in *'"port":"COM1"'*'"state":"downloading"'*) break ;; esac
    fi
    sleep 0.2
done
wait "$run_pid"
rc=$?
run_pid=
case $state in
*'"port":"COM1"'*'"state":"downloading"'*'"percent":'*) ;;
*)
    echo "FAILED: /api/state never showed COM1 downloading (url '$url'); last answer: $state" >&2
    cat "$work/err" >&2
    exit 1
    ;;
esac
if [ "$rc" -ne 6 ]; then
    echo "FAILED: the run ended with $rc, want 6 (the box fell silent)" >&2
    cat "$work/err" >&2
    exit 1
fi
echo "OK: $url answered /api/state with COM1 downloading: ${state:0:160}..."
