#!/bin/bash
# zurivavave.exe in command-line mode under wine, serving the box simulator
# on COM1 (set through the settings file of the prefix):
#
#   exe-e2e.sh PREFIX BOXSIM EXE MODE [PTY_PEER]
#
# MODE complete:  exits 0 and the simulator got the image intact; the image
#                 lies in a folder and file of Korean names (an ANSI code
#                 page without Korean, see LANG) and PATH keeps them.
# MODE past-end:  the box asks beyond the file's end: exits 5.
# MODE silent:    the box falls silent after three requests: the watchdog
#                 gives up and the program exits 6.
# MODE close:     the window is closed (WM_CLOSE) while the box holds the
#                 line: exits 130.
# MODE nofile:    the file cannot be opened: the window stays with "Please
#                 Select File !"; closed, it exits 3.
# MODE noport:    COM2, which is no serial port, "Initializing Failed!";
#                 closed, it exits 4.
# MODE xonxoff:   the pty was left with software flow control on; the box's
#                 tags (from 0x13) and the image hold 0x11 and 0x13: exits 0
#                 with the image intact.
# MODE donefirst: PTY_PEER as a box that reports done before greeting: the
#                 window waits on and answers the hello that follows;
#                 closed, it exits 130 (never 0: nothing was served).
# MODE nodisplay: no display to show the window on: exits 1 and says why on
#                 stderr.
set -u
prefix=$1 boxsim=$2 exe=$3 mode=$4 ptypeer=${5:-}
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
wine_dir=$(cd "$here/../wine" && pwd)

[ -x "$boxsim" ] || { echo "SKIPPED: $boxsim has not been built" >&2; exit 77; }

work=$(mktemp -d "${TMPDIR:-/tmp}/zv-exe-e2e.XXXXXX")
trap 'rm -rf "$work"' EXIT
image=$work/firmware.wzb
[ "$mode" = complete ] && { mkdir -p "$work/펌웨어"; image="$work/펌웨어/새 이미지.wzb"; }
head -c 65536 /dev/urandom > "$image"

# COM1 at 115200 baud for the program; the harness points COM1 at the
# simulator's pseudo-terminal and COM2 at /dev/null.
ini=$prefix/drive_c/Temp/SerialPort.ini
port=0
[ "$mode" = noport ] && port=1
mkdir -p "$prefix/drive_c/Temp"
printf '[SERIALPORT]\r\nPORT=%s\r\nSPEED=115200\r\n' "$port" > "$ini"

unset ZV_CLOSE_AFTER ZV_PTY_STTY ZV_NO_DISPLAY
peer=("$boxsim" --pty)
case $mode in
    complete)  extra=(--time); want=0 ;;
    past-end)  extra=(--past-end); want=5 ;;
    silent)    extra=(--silent-after 3); want=6 ;;
    close)     extra=(--silent-after 3); want=130; export ZV_CLOSE_AFTER="holding the line" ;;
    nofile)    extra=(); want=3; export ZV_CLOSE_AFTER= ; image=$work/missing.wzb ;;
    noport)    extra=(); want=4; export ZV_CLOSE_AFTER= ;;
    xonxoff)   extra=(--time --tag-start 19); want=0; export ZV_PTY_STTY="ixon ixoff" ;;
    donefirst) [ -x "$ptypeer" ] || { echo "SKIPPED: no pty peer at '$ptypeer'" >&2; exit 77; }
               peer=("$ptypeer" 120 --done-before-hello); extra=(); want=130
               export ZV_CLOSE_AFTER="HELLO_ACK received" ;;
    nodisplay) extra=(); want=1; export ZV_NO_DISPLAY=1 ;;
    *) echo "unknown mode $mode" >&2; exit 2 ;;
esac
expect=()
if [ "${peer[0]}" = "$boxsim" ]; then
    expect=(--size 1024)
    [ -f "$image" ] && expect=(--expect "$image")
fi

winpath="Z:$(echo "$image" | tr / '\\')"
rc=0
ZV_PEER_LOG=$work/peer.log ZV_TIMEOUT=90 "$wine_dir/run-e2e.sh" "$prefix" \
    "${peer[@]}" "${expect[@]}" "${extra[@]}" -- "$exe" "$winpath" 2>"$work/stderr" || rc=$?
cat "$work/stderr" >&2
echo "--- simulator ---"
cat "$work/peer.log" 2>/dev/null
echo "zurivavave.exe exited $rc (want $want)"
[ "$rc" -eq "$want" ] || exit 1
if [ "$mode" = complete ]; then
    # PATH holds the Korean path unchanged (the file is UTF-16 now).
    iconv -f UTF-16 -t UTF-8 "$ini" | tr -d '\r' | grep -qxF "PATH=$winpath" ||
        { echo "PATH in SerialPort.ini is not $winpath:"; iconv -f UTF-16 -t UTF-8 "$ini"; exit 1; }
fi
if [ "$mode" = complete ] || [ "$mode" = xonxoff ]; then
    grep -q '^OK ' "$work/peer.log" || { echo "the simulator did not get the image intact"; exit 1; }
fi
if [ "$mode" = nodisplay ]; then
    grep -q '^zurivavave: the window could not be created' "$work/stderr" ||
        { echo "no reason on stderr"; exit 1; }
fi
exit 0
