#!/bin/bash
# Runs a Windows program under wine: CTest's emulator for the cross build
# (usage: wine-exec.sh PROGRAM.exe ARGS...). The program's exit code is ours.
#
# Prefix: $WINEPREFIX when set; otherwise one per build directory
# (<build>/wine/prefix), created on first use. A lock beside the prefix
# keeps parallel tests from racing its creation.
#
# Display: the caller's $DISPLAY when set; otherwise one virtual X server
# per prefix, shared by the programs that run in it at the same time, with
# Wine's desktop brought up on it before the first program starts (exit
# 125 when it never comes up: the display failed, not the program). The
# last program out ends the prefix's wineserver and the X server, so no
# process outlives the test run and no wine process is left talking to a
# display that has gone.
set -u

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
. "$here/wine-lib.sh"

if [ $# -lt 1 ]; then
    echo "usage: $0 PROGRAM.exe [ARGS...]" >&2
    exit 2
fi

# The build directory holding the program.
build=$(zv_build_dir_of "$1") || build=
own_prefix=0
if [ -n "${WINEPREFIX:-}" ]; then
    prefix=$WINEPREFIX
else
    prefix=${build:-${TMPDIR:-/tmp}/zv-wine-$(id -u)}/wine/prefix
    own_prefix=1
fi
state=$prefix.session
mkdir -p "$(dirname "$prefix")" "$state/users"
exec 9>"$prefix.lock"

lock() {
    flock -w 300 9 || { zv_log "timed out waiting for $prefix.lock"; exit 1; }
}
unlock() { flock -u 9; }

# Users whose wine-exec died without leaving (killed on a timeout).
prune_users() {
    local f
    for f in "$state"/users/*; do
        [ -e "$f" ] || continue
        kill -0 "${f##*/}" 2>/dev/null || rm -f "$f"
    done
}

lock
prune_users
if (( own_prefix )) && ! zv_prefix_current "$prefix" && [ -z "$(ls -A "$state/users")" ]; then
    # Absent, left half-made by an interrupted boot, or of an older recipe
    # (and no one is using it).
    zv_prefix_remove "$prefix" || exit 1
    zv_prefix_fresh "$prefix" || exit 1
fi

managed=0
if [ -z "${DISPLAY:-}" ]; then
    managed=1
    if ! zv_xvfb_alive "$state" || [ -z "$(ls -A "$state/users")" ]; then
        # No user left, or the last one was killed: start afresh, without a
        # wineserver still bound to the old display.
        zv_wineserver_stop "$prefix"
        zv_xvfb_stop "$state"
        zv_xvfb_start "$state" || exit 1
        export DISPLAY WINEPREFIX=$prefix
        DISPLAY=$(cat "$state/display")
        if ! zv_desktop_up "$build" "$state"; then
            zv_wineserver_stop "$prefix"
            zv_xvfb_stop "$state"
            exit 125
        fi
    fi
    export DISPLAY
    DISPLAY=$(cat "$state/display")
    touch "$state/users/$$"
fi
unlock

child=
leave() {
    (( managed )) || return 0
    lock
    rm -f "$state/users/$$"
    prune_users
    if [ -z "$(ls -A "$state/users")" ]; then
        zv_wineserver_stop "$prefix"
        zv_xvfb_stop "$state"
    fi
    unlock
    managed=0
}
# shellcheck disable=SC2317  # called from the trap
on_signal() {
    [ -n "$child" ] && kill -TERM "$child" 2>/dev/null
    leave
    exit 143
}
trap on_signal TERM INT HUP

export WINEPREFIX=$prefix
"$ZV_WINE" "$@" 8>&- 9>&- &
child=$!
wait "$child"
rc=$?
child=
leave
exit "$rc"
