#!/bin/bash
# Wine sessions for the end-to-end tests of the Windows programs.
#
#   wine-session.sh create PREFIX
#       Makes a fresh prefix (deleting an old one this harness made): a
#       copy of the build tree's template, booted on first use (see
#       zv_prefix_fresh in wine-lib.sh; ZV_WINE_BOOT_EACH=1 boots every
#       prefix). Maps COM1..COM4 through HKLM\Software\Wine\Ports to the
#       links PREFIX.ports/com1..com4, which "run" points at pseudo-terminals.
#       The mapping is done once here, so a test needs no registry edit and
#       no wineserver restart of its own.
#   wine-session.sh destroy PREFIX
#       Ends the prefix's wineserver and deletes the prefix.
#   wine-session.sh map PREFIX COMn PATH
#       Maps COMn straight to PATH in the registry and restarts the
#       wineserver so that the mapping takes effect.
#   wine-session.sh run PREFIX [--com N=PATH]... [--timeout S] [--display | --no-display] -- CMD [ARGS...]
#       Points COMn at PATH, starts a virtual X server, brings Wine's desktop
#       up on it (zv_desktop_up in wine-lib.sh) and runs CMD with WINEPREFIX
#       and DISPLAY set (use "$ZV_WINE prog.exe" or plain "wine").
#       --display: on the caller's $DISPLAY instead, for a person to watch.
#       --no-display: with no display at all, as a machine without one.
#       Sessions on one prefix take turns (a lock beside the prefix). At the
#       end the prefix's wineserver (and so every wine process of the
#       session) and the X server are ended. CMD's exit code is returned;
#       124 when it ran out of time, 125 when Wine's desktop never came up
#       (the display failed, CMD did not run).
set -u

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
. "$here/wine-lib.sh"

usage() {
    sed -n '2,27p' "${BASH_SOURCE[0]}" | sed 's/^# \{0,1\}//' >&2
    exit 2
}

reg_map() {  # PREFIX COMn PATH
    WINEPREFIX=$1 timeout 60 "$ZV_WINE" reg add 'HKLM\Software\Wine\Ports' /v "$2" /d "$3" /f \
        >/dev/null 2>&1 8>&- 9>&-
}

cmd_create() {
    local prefix=$1 t0 t1 n xdir
    t0=$(zv_now_ms)
    mkdir -p "$(dirname "$prefix")"
    exec 9>"$prefix.lock"
    flock -w 300 9 || { zv_log "timed out waiting for $prefix.lock"; return 1; }
    zv_prefix_remove "$prefix" || return 1
    rm -rf "$prefix.ports" "$prefix.xvfb"
    zv_prefix_fresh "$prefix" || return 1
    t1=$(zv_now_ms)
    xdir=$prefix.xvfb
    zv_xvfb_start "$xdir" || return 1
    export DISPLAY
    DISPLAY=$(cat "$xdir/display")
    mkdir -p "$prefix.ports"
    # One registry import for all four ports: each wine start costs a second.
    {
        printf 'REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Wine\\Ports]\r\n'
        for n in 1 2 3 4; do
            ln -sfn /dev/null "$prefix.ports/com$n"
            printf '"COM%s"="%s"\r\n' "$n" "$prefix.ports/com$n"
        done
    } >"$prefix.ports/ports.reg"
    WINEPREFIX=$prefix timeout 60 "$ZV_WINE" regedit /S "$prefix.ports/ports.reg" >/dev/null 2>&1 8>&- 9>&-
    # The wineserver writes the registry out as it ends, and the new mapping
    # is read when the next one starts.
    zv_wineserver_stop "$prefix"
    if ! grep -qF "$prefix.ports/com4" "$prefix/system.reg"; then
        zv_log "could not map COM1..COM4 in $prefix"
        zv_xvfb_stop "$xdir"
        return 1
    fi
    zv_xvfb_stop "$xdir"
    rm -rf "$xdir"
    zv_log "prefix ready in $(( $(zv_now_ms) - t0 )) ms (new prefix $(( t1 - t0 )) ms, port mapping $(( $(zv_now_ms) - t1 )) ms)"
}

cmd_destroy() {
    local prefix=$1
    exec 9>"$prefix.lock"
    flock -w 300 9 || { zv_log "timed out waiting for $prefix.lock"; return 1; }
    zv_prefix_remove "$prefix" || return 1
    rm -rf "$prefix.ports" "$prefix.xvfb"
    rm -f "$prefix.lock"
}

cmd_map() {
    local prefix=$1 port=$2 path=$3
    exec 9>"$prefix.lock"
    flock -w 300 9 || { zv_log "timed out waiting for $prefix.lock"; return 1; }
    reg_map "$prefix" "$port" "$path" || { zv_log "could not map $port"; return 1; }
    zv_wineserver_stop "$prefix"
}

cmd_run() {
    local prefix=$1 limit=240 mapping n path xdir rc t0 child= own_display=0 no_display=0 build
    shift
    local -a links=()
    while [ $# -gt 0 ]; do
        case $1 in
            --com) mapping=$2; links+=("$mapping"); shift 2 ;;
            --timeout) limit=$2; shift 2 ;;
            --display) own_display=1; shift ;;
            --no-display) no_display=1; shift ;;
            --) shift; break ;;
            *) usage ;;
        esac
    done
    [ $# -gt 0 ] || usage
    if [ ! -f "$prefix/.zv-prefix" ]; then
        zv_log "no prefix at $prefix (run: $0 create $prefix)"
        return 1
    fi

    exec 9>"$prefix.lock"
    flock -w 600 9 || { zv_log "timed out waiting for $prefix.lock"; return 1; }
    for mapping in "${links[@]+"${links[@]}"}"; do
        n=${mapping%%=*}
        path=${mapping#*=}
        if [ ! -d "$prefix.ports" ] || [[ ! $n =~ ^[1-4]$ ]]; then
            zv_log "cannot point COM$n at $path: only COM1..COM4 of a created prefix"
            return 1
        fi
        ln -sfn "$path" "$prefix.ports/com$n"
    done

    xdir=$(mktemp -d "${TMPDIR:-/tmp}/zv-xvfb.XXXXXX")
    # Whatever happens to us, end what we started.
    cleanup() {
        [ -n "$child" ] && kill -TERM "$child" 2>/dev/null
        zv_wineserver_stop "$prefix"
        zv_xvfb_stop "$xdir"
        rm -rf "$xdir"
        for n in 1 2 3 4; do
            [ -L "$prefix.ports/com$n" ] && ln -sfn /dev/null "$prefix.ports/com$n"
        done
    }
    trap 'cleanup; exit 143' TERM INT HUP
    export DISPLAY WINEPREFIX=$prefix ZV_WINE
    if (( no_display )); then
        unset DISPLAY WAYLAND_DISPLAY
    elif (( own_display )) && [ -n "${DISPLAY:-}" ]; then
        :
    else
        zv_xvfb_start "$xdir" || { cleanup; return 1; }
        DISPLAY=$(cat "$xdir/display")
    fi
    # Started here so that its own output (wine dumps its object table when
    # a pseudo-terminal it holds is hung up) goes to a log, not the test's.
    "$ZV_WINESERVER" >/dev/null 2>"$xdir/wineserver.log" 8>&- 9>&-
    if (( ! no_display )); then
        build=$(zv_build_dir_of "$prefix") || build=
        zv_desktop_up "$build" "$xdir" || { cleanup; trap - TERM INT HUP; return 125; }
    fi
    t0=$(zv_now_ms)
    timeout -k 5 "$limit" "$@" 8>&- 9>&- &
    child=$!
    wait "$child"
    rc=$?
    child=
    (( rc == 124 )) && zv_log "command ran out of time ($limit s): $*"
    [ -n "${ZV_SESSION_TIMES:-}" ] && zv_log "command took $(( $(zv_now_ms) - t0 )) ms"
    cleanup
    trap - TERM INT HUP
    return "$rc"
}

[ $# -ge 2 ] || usage
sub=$1
prefix=$2
case $prefix in /*) ;; *) prefix=$PWD/$prefix ;; esac
shift 2
case $sub in
    create) cmd_create "$prefix" ;;
    destroy) cmd_destroy "$prefix" ;;
    map) [ $# -eq 2 ] || usage; cmd_map "$prefix" "$1" "$2" ;;
    run) cmd_run "$prefix" "$@" ;;
    *) usage ;;
esac
