#!/bin/bash
# One end-to-end run of a Windows program against a native peer on COM1:
#
#   run-e2e.sh [--check-peer] PREFIX PEER [PEER_ARGS...] -- PROGRAM.exe [ARGS...]
#
# Starts PEER (which prints "PTY <path>" as its first line), points COM1 of
# the prefix made by "wine-session.sh create" at that pty, runs the program
# under wine in a session of its own and ends the peer by PID. Exits with
# the program's code; 77 (skipped) when PEER has not been built.
#
# --check-peer: the peer judges the run too. After the program has ended
# the peer must end by itself (within ZV_PEER_WAIT seconds, default 30)
# with code 0, or the run fails.
#
# Environment: ZV_PEER_LOG=FILE keeps the peer's output there; ZV_TIMEOUT
# bounds the program's run (seconds, default 120). ZV_CLOSE_AFTER=TEXT
# closes the program's windows as a user would (WM_CLOSE, through wine's
# taskkill without /f) once the peer has printed TEXT ("" = at once), again
# every second until the program has ended. ZV_PTY_STTY="SETTINGS" hands
# SETTINGS to stty on the pty before the program opens it, as another
# program or the driver may leave a line (for example "ixon ixoff").
# ZV_NO_DISPLAY=1 runs the program with no display at all.
# ZV_INTERRUPT_AFTER=TEXT presses Ctrl+C twice, 50 ms apart, in the
# program (SIGINT to its process, which Wine hands to its console control
# handlers) once the peer has printed TEXT.
set -u

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
. "$here/wine-lib.sh"

check_peer=0
if [ "${1:-}" = --check-peer ]; then
    check_peer=1
    shift
fi
[ $# -ge 3 ] || { sed -n '2,23p' "$0" >&2; exit 2; }
prefix=$1
shift
peer=()
while [ $# -gt 0 ] && [ "$1" != -- ]; do
    peer+=("$1")
    shift
done
[ "${1:-}" = -- ] || { echo "run-e2e.sh: missing -- before the program" >&2; exit 2; }
shift

if [ ! -x "${peer[0]}" ]; then
    echo "SKIPPED: ${peer[0]} has not been built" >&2
    exit 77
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/zv-e2e.XXXXXX")
peer_pid=
closer_pid=
interrupter_pid=
finish() {
    [ -n "$closer_pid" ] && zv_kill_pid "$closer_pid"
    closer_pid=
    [ -n "$interrupter_pid" ] && zv_kill_pid "$interrupter_pid"
    interrupter_pid=
    [ -n "$peer_pid" ] && zv_kill_pid "$peer_pid"
    peer_pid=
    if [ -n "${ZV_PEER_LOG:-}" ]; then
        cat "$work/peer.out" "$work/peer.err" >"$ZV_PEER_LOG" 2>/dev/null
    fi
    rm -rf "$work"
}
trap 'finish; exit 143' TERM INT HUP

"${peer[@]}" </dev/null >"$work/peer.out" 2>"$work/peer.err" &
peer_pid=$!
pty=
for (( i = 0; i < 200; i++ )); do
    pty=$(sed -n '1s/^PTY \(\/dev\/[^ ]*\)$/\1/p' "$work/peer.out" 2>/dev/null)
    [ -n "$pty" ] && break
    kill -0 "$peer_pid" 2>/dev/null || break
    sleep 0.05
done
if [ -z "$pty" ]; then
    echo "run-e2e.sh: the peer printed no PTY line" >&2
    cat "$work/peer.out" "$work/peer.err" >&2
    finish
    exit 1
fi

if [ -n "${ZV_PTY_STTY:-}" ]; then
    # shellcheck disable=SC2086  # a list of settings
    if ! stty -F "$pty" $ZV_PTY_STTY; then
        echo "run-e2e.sh: stty $ZV_PTY_STTY failed on $pty" >&2
        finish
        exit 1
    fi
fi

if [ -n "${ZV_CLOSE_AFTER+set}" ]; then
    image=$(basename "$1")
    (
        until [ -z "$ZV_CLOSE_AFTER" ] || grep -qF -- "$ZV_CLOSE_AFTER" "$work/peer.out" "$work/peer.err" 2>/dev/null; do
            sleep 0.1
        done
        # Only inside the session (its wineserver and display), once the
        # program runs; its window takes a moment more.
        until pgrep -f -- "$image" >/dev/null; do
            sleep 0.1
        done
        sleep 1
        while :; do
            WINEPREFIX=$prefix "$ZV_WINE" taskkill /im "$image" >>"$work/closer.log" 2>&1
            sleep 1
        done
    ) </dev/null >/dev/null 2>&1 8>&- 9>&- &
    closer_pid=$!
fi

# The program's process: the shell that records its PID becomes wine, and
# wine becomes the program.
program=("$ZV_WINE" "$@")
if [ -n "${ZV_INTERRUPT_AFTER:-}" ]; then
    # shellcheck disable=SC2016  # expanded by the inner shell
    program=(bash -c 'echo $$ >"$0.tmp" && mv "$0.tmp" "$0" && exec "$@"' "$work/program.pid" "$ZV_WINE" "$@")
    (
        until grep -qF -- "$ZV_INTERRUPT_AFTER" "$work/peer.out" "$work/peer.err" 2>/dev/null &&
              [ -s "$work/program.pid" ]; do
            sleep 0.1
        done
        pid=$(cat "$work/program.pid")
        kill -INT "$pid"
        sleep 0.05
        kill -INT "$pid"
    ) </dev/null >/dev/null 2>&1 8>&- 9>&- &
    interrupter_pid=$!
fi

display=()
[ -n "${ZV_NO_DISPLAY:-}" ] && display=(--no-display)
"$here/wine-session.sh" run "$prefix" --com "1=$pty" --timeout "${ZV_TIMEOUT:-120}" "${display[@]}" -- "${program[@]}"
rc=$?
[ -n "$closer_pid" ] && zv_kill_pid "$closer_pid"
closer_pid=
[ -n "$interrupter_pid" ] && zv_kill_pid "$interrupter_pid"
interrupter_pid=
if (( check_peer )); then
    limit=$(( ${ZV_PEER_WAIT:-30} * 20 ))
    for (( i = 0; i < limit; i++ )); do
        kill -0 "$peer_pid" 2>/dev/null || break
        sleep 0.05
    done
    if kill -0 "$peer_pid" 2>/dev/null; then
        echo "run-e2e.sh: the peer did not finish within ${ZV_PEER_WAIT:-30} s" >&2
        peer_rc=124
    else
        wait "$peer_pid"
        peer_rc=$?
        peer_pid=
    fi
    if (( peer_rc != 0 )); then
        echo "run-e2e.sh: the peer failed (exit $peer_rc)" >&2
        (( rc == 0 )) && rc=1
    fi
fi
if (( rc != 0 )) && [ -s "$work/peer.err" ]; then
    echo "--- peer output ---" >&2
    cat "$work/peer.err" >&2
fi
finish
exit "$rc"
