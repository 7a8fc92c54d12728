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

# zv_build_dir_of PATH: the build directory PATH lies in (the nearest
# CMakeCache.txt above it); 1 when there is none.
zv_build_dir_of() {
    local d
    d=$(cd "$(dirname "$1")" 2>/dev/null && pwd) || d=$PWD
    while [ "$d" != / ]; do
        [ -f "$d/CMakeCache.txt" ] && { echo "$d"; return 0; }
        d=$(dirname "$d")
    done
    return 1
}

# zv_desktop_up BUILD_DIR STATE_DIR: brings Wine's desktop up for the
# session in WINEPREFIX on DISPLAY before any program under test makes a
# window, and keeps it up (zv-desktop-ready.exe, ended with the session's
# wineserver). Wine starts its desktop process with the first window and
# waits for it only 10 s; a keeper that gave up is started again until
# ZV_DESKTOP_WAIT seconds (default 120) have passed. 1 when the desktop
# never came up: a failure of the machine's display, not of a program.
zv_desktop_up() {
    local build=$1 dir=$2 keeper pid limit t0 tries=0
    keeper=${ZV_DESKTOP_KEEPER:-$build/zv-desktop-ready.exe}
    if [ ! -f "$keeper" ]; then
        zv_log "no desktop keeper at $keeper: the first window may come before Wine's desktop"
        return 0
    fi
    limit=$(( ${ZV_DESKTOP_WAIT:-120} * 1000 ))
    t0=$(zv_now_ms)
    while :; do
        rm -f "$dir/desktop.out"
        "$ZV_WINE" "$keeper" </dev/null >"$dir/desktop.out" 2>>"$dir/desktop.err" 8>&- 9>&- &
        pid=$!
        while kill -0 "$pid" 2>/dev/null && (( $(zv_now_ms) - t0 < limit )); do
            if grep -q '^READY' "$dir/desktop.out" 2>/dev/null; then
                [ -n "${ZV_SESSION_TIMES:-}" ] && zv_log "desktop up in $(( $(zv_now_ms) - t0 )) ms"
                return 0
            fi
            sleep 0.05
        done
        if (( $(zv_now_ms) - t0 >= limit )); then
            zv_kill_pid "$pid"
            zv_log "Wine's desktop did not come up within ${ZV_DESKTOP_WAIT:-120} s on $DISPLAY" \
                "(a failure of the display, not of the program under test): $(tail -n 3 "$dir/desktop.err" 2>/dev/null)"
            return 1
        fi
        wait "$pid" 2>/dev/null
        (( tries++ )) || zv_log "Wine's desktop is not up yet; trying again until it is"
        sleep 1
    done
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
    zv_prefix_fonts "$prefix"
    if [ ! -f "$prefix/system.reg" ]; then
        zv_log "wineboot left no registry in $prefix"
        return 1
    fi
    # Marks the prefix as ours and complete; the harness only ever deletes
    # prefixes that carry it.
    zv_recipe >"$prefix/.zv-recipe"
    echo "booted in $(( $(zv_now_ms) - t0 )) ms" >"$prefix/.zv-prefix"
    zv_log "prefix $prefix booted in $(( $(zv_now_ms) - t0 )) ms"
}

# zv_prefix_fonts PREFIX: Wine's own fonts (Debian's fonts-wine) in the
# prefix's Fonts folder, where this Wine looks for them: Marlett draws the
# caption buttons (without it they come out as the letters "0 1 r"),
# Tahoma and the bitmap fonts the dialogs. Linked, not copied.
zv_prefix_fonts() {
    local prefix=$1 fonts dir f
    fonts=$prefix/drive_c/windows/Fonts
    for dir in ${ZV_WINE_FONTS:-/usr/share/wine/fonts /usr/lib/wine/fonts}; do
        [ -f "$dir/marlett.ttf" ] || continue
        mkdir -p "$fonts"
        for f in "$dir"/*; do
            [ -e "$fonts/${f##*/}" ] || ln -s "$f" "$fonts/${f##*/}"
        done
        return 0
    done
    zv_log "Wine's fonts are not installed (Debian: fonts-wine): windows get no caption buttons"
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
# made once per build tree (again when wine or the recipe changes). A copy
# of it is as fresh as a new boot and takes a tenth of the time.
# zv_recipe: what a prefix of this harness is made of, the wine that booted
# it and the steps after the boot; a prefix made otherwise is made again.
zv_recipe() {
    echo "$("$ZV_WINE" --version 2>/dev/null); fonts linked"
}

# zv_prefix_current PREFIX: 0 when PREFIX is complete and of the recipe.
zv_prefix_current() {
    [ -f "$1/.zv-prefix" ] && [ "$(cat "$1/.zv-recipe" 2>/dev/null)" = "$(zv_recipe)" ]
}

zv_template_ensure() {
    local template=$1
    mkdir -p "$(dirname "$template")"
    exec 8>"$template.lock"
    flock -w 300 8 || { zv_log "timed out waiting for $template.lock"; return 1; }
    if zv_prefix_current "$template"; then
        flock -u 8
        return 0
    fi
    zv_prefix_remove "$template" || { flock -u 8; return 1; }
    if ! zv_boot_with_display "$template"; then
        flock -u 8
        return 1
    fi
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
