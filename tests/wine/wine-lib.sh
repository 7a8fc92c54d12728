# shellcheck shell=bash
# Shared helpers of wine-exec.sh and wine-session.sh (sourced, bash).
#
# Everything started here is remembered by PID and ended by PID: a virtual X
# server per session and the wineserver of the prefix in use.
#
# The scripts hold their locks on descriptors 8 and 9; every long-lived
# child is started with both closed, so that a killed script cannot leave
# its lock held by an orphan.

ZV_WINE=${ZV_WINE:-wine}
ZV_WINESERVER=${ZV_WINESERVER:-wineserver}
# No mono/gecko install prompts (they would wait for a click on the virtual
# display) and no desktop menu entries written into the user's home.
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:+$WINEDLLOVERRIDES;}mscoree,mshtml=;winemenubuilder.exe=d"
export WINEDEBUG=${ZV_WINEDEBUG:--all}

zv_log() { echo "wine-harness: $*" >&2; }

zv_now_ms() { date +%s%3N; }

# zv_wait_gone PID TIMEOUT_S: wait until PID has ended. 1 on timeout.
zv_wait_gone() {
    local pid=$1 limit=$(( $2 * 20 )) i=0
    while kill -0 "$pid" 2>/dev/null; do
        (( i++ >= limit )) && return 1
        sleep 0.05
    done
    return 0
}

# zv_kill_pid PID: TERM, a bounded wait, then KILL.
zv_kill_pid() {
    local pid=$1
    [ -n "$pid" ] || return 0
    kill -TERM "$pid" 2>/dev/null || return 0
    zv_wait_gone "$pid" 5 && return 0
    kill -KILL "$pid" 2>/dev/null
    zv_wait_gone "$pid" 5
}

# zv_xvfb_start STATE_DIR: starts a virtual X server in its own session,
# detached from the caller's output (a test runner waits for every holder
# of its pipes), and writes STATE_DIR/xvfb.pid and STATE_DIR/display.
zv_xvfb_start() {
    local dir=$1 pid i
    mkdir -p "$dir"
    rm -f "$dir/display" "$dir/display.tmp" "$dir/xvfb.pid"
    # -displayfd picks a free display number itself, so parallel sessions
    # never race for one.
    setsid Xvfb -displayfd 3 -nolisten tcp -noreset -screen 0 1280x1024x24 \
        3>"$dir/display.tmp" </dev/null >"$dir/xvfb.log" 2>&1 8>&- 9>&- &
    pid=$!
    echo "$pid" >"$dir/xvfb.pid"
    for (( i = 0; i < 200; i++ )); do
        if [ -s "$dir/display.tmp" ] && grep -q . "$dir/display.tmp"; then
            echo ":$(tr -d '[:space:]' <"$dir/display.tmp")" >"$dir/display"
            return 0
        fi
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.05
    done
    zv_log "Xvfb did not start (see $dir/xvfb.log)"
    zv_kill_pid "$pid"
    rm -f "$dir/xvfb.pid"
    return 1
}

# zv_xvfb_alive STATE_DIR: 0 when the recorded X server still runs.
zv_xvfb_alive() {
    local pid
    pid=$(cat "$1/xvfb.pid" 2>/dev/null) || return 1
    [ -s "$1/display" ] && kill -0 "$pid" 2>/dev/null
}

zv_xvfb_stop() {
    local pid
    pid=$(cat "$1/xvfb.pid" 2>/dev/null) && zv_kill_pid "$pid"
    rm -f "$1/xvfb.pid" "$1/display" "$1/display.tmp"
}

# zv_wineserver_stop PREFIX: ends the prefix's wineserver and with it every
# wine process of the prefix; bounded.
zv_wineserver_stop() {
    [ -d "$1" ] || return 0
    WINEPREFIX=$1 "$ZV_WINESERVER" -k >/dev/null 2>&1
    WINEPREFIX=$1 timeout 15 "$ZV_WINESERVER" -w >/dev/null 2>&1
    return 0
}

# zv_prefix_boot PREFIX: creates and initialises a new prefix (PREFIX must
# not exist yet). DISPLAY should point at a virtual X server.
zv_prefix_boot() {
    local prefix=$1 t0
    t0=$(zv_now_ms)
    mkdir -p "$(dirname "$prefix")"
    if ! WINEPREFIX=$prefix timeout 180 "$ZV_WINE" wineboot -i >"$prefix.boot.log" 2>&1 8>&- 9>&-; then
        zv_log "wineboot -i failed for $prefix (see $prefix.boot.log)"
        zv_wineserver_stop "$prefix"
        return 1
    fi
    # Unmanaged windows: with no window manager on the virtual display,
    # every hide or destroy of a managed window waits about 2 s for one.
    WINEPREFIX=$prefix timeout 60 "$ZV_WINE" reg add 'HKCU\Software\Wine\X11 Driver' \
        /v Managed /d N /f >/dev/null 2>&1 8>&- 9>&-
    WINEPREFIX=$prefix timeout 60 "$ZV_WINESERVER" -w >/dev/null 2>&1
    if [ ! -f "$prefix/system.reg" ]; then
        zv_log "wineboot left no registry in $prefix"
        return 1
    fi
    # Marks the prefix as ours and complete; the harness only ever deletes
    # prefixes that carry it.
    echo "booted in $(( $(zv_now_ms) - t0 )) ms" >"$prefix/.zv-prefix"
    zv_log "prefix $prefix booted in $(( $(zv_now_ms) - t0 )) ms"
}

# zv_boot_with_display PREFIX: zv_prefix_boot under $DISPLAY, or under a
# virtual X server of its own when there is none.
zv_boot_with_display() {
    local prefix=$1 rc
    if [ -n "${DISPLAY:-}" ]; then
        zv_prefix_boot "$prefix"
        return
    fi
    zv_xvfb_start "$prefix.xvfb-boot" || return 1
    DISPLAY=$(cat "$prefix.xvfb-boot/display") zv_prefix_boot "$prefix"
    rc=$?
    zv_xvfb_stop "$prefix.xvfb-boot"
    rm -rf "$prefix.xvfb-boot"
    return "$rc"
}

# zv_template_ensure TEMPLATE: a booted prefix in which nothing ever runs,
# made once per build tree (again when wine changes). A copy of it is as
# fresh as a new boot and takes a tenth of the time.
zv_template_ensure() {
    local template=$1 version
    version=$("$ZV_WINE" --version 2>/dev/null)
    mkdir -p "$(dirname "$template")"
    exec 8>"$template.lock"
    flock -w 300 8 || { zv_log "timed out waiting for $template.lock"; return 1; }
    if [ -f "$template/.zv-prefix" ] && [ "$(cat "$template/.zv-template" 2>/dev/null)" = "$version" ]; then
        flock -u 8
        return 0
    fi
    zv_prefix_remove "$template" || { flock -u 8; return 1; }
    if ! zv_boot_with_display "$template"; then
        flock -u 8
        return 1
    fi
    echo "$version" >"$template/.zv-template"
    flock -u 8
}

# zv_prefix_fresh PREFIX: a new prefix at PREFIX (which must not exist), a
# copy of the build tree's template ($ZV_WINE_TEMPLATE, default
# <dir of PREFIX>/template). ZV_WINE_BOOT_EACH=1 boots it instead.
zv_prefix_fresh() {
    local prefix=$1 template t0
    if [ -n "${ZV_WINE_BOOT_EACH:-}" ]; then
        zv_boot_with_display "$prefix"
        return
    fi
    template=${ZV_WINE_TEMPLATE:-$(dirname "$prefix")/template}
    zv_template_ensure "$template" || return 1
    t0=$(zv_now_ms)
    rm -rf "$prefix.tmp"
    if ! cp -a "$template" "$prefix.tmp" || ! mv "$prefix.tmp" "$prefix"; then
        zv_log "could not copy $template to $prefix"
        rm -rf "$prefix.tmp"
        return 1
    fi
    rm -f "$prefix/.zv-template"
    zv_log "prefix $prefix copied from $template in $(( $(zv_now_ms) - t0 )) ms"
}

# zv_prefix_remove PREFIX: deletes a prefix the harness created.
zv_prefix_remove() {
    local prefix=$1
    [ -e "$prefix" ] || return 0
    if [ ! -f "$prefix/.zv-prefix" ] && [ -n "$(ls -A "$prefix" 2>/dev/null)" ]; then
        # An interrupted boot leaves no marker, but also no user data.
        if [ ! -f "$prefix/system.reg" ] || [ -f "$prefix.boot.log" ]; then
            :
        else
            zv_log "refusing to delete $prefix: not a prefix this harness made"
            return 1
        fi
    fi
    zv_wineserver_stop "$prefix"
    rm -rf "$prefix" "$prefix.boot.log"
}
