#!/bin/bash
# zurivavave.exe in command-line mode under wine, serving the box simulator
# on COM1 (set through the settings file of the prefix):
#
#   exe-e2e.sh PREFIX BOXSIM EXE MODE
#
# MODE complete: exits 0 and the simulator got the image intact; the image
#                lies in a folder and file of Korean names (an ANSI code
#                page without Korean, see LANG) and PATH keeps them.
# MODE past-end: the box asks beyond the file's end: exits 5.
# MODE silent:   the box falls silent after three requests: the watchdog
#                gives up and the program exits 6.
# MODE close:    the window is closed (WM_CLOSE) while the box holds the
#                line: exits 130.
# MODE nofile:   the file cannot be opened: the window stays with "Please
#                Select File !"; closed, it exits 3.
# MODE noport:   COM2, which is no serial port, "Initializing Failed!";
#                closed, it exits 4.
set -u
prefix=$1 boxsim=$2 exe=$3 mode=$4
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

unset ZV_CLOSE_AFTER
case $mode in
    complete) extra=(--time); want=0 ;;
    past-end) extra=(--past-end); want=5 ;;
    silent)   extra=(--silent-after 3); want=6 ;;
    close)    extra=(--silent-after 3); want=130; export ZV_CLOSE_AFTER="holding the line" ;;
    nofile)   extra=(); want=3; export ZV_CLOSE_AFTER= ; image=$work/missing.wzb ;;
    noport)   extra=(); want=4; export ZV_CLOSE_AFTER= ;;
    *) echo "unknown mode $mode" >&2; exit 2 ;;
esac
expect=(--size 1024)
[ -f "$image" ] && expect=(--expect "$image")

winpath="Z:$(echo "$image" | tr / '\\')"
rc=0
ZV_PEER_LOG=$work/peer.log ZV_TIMEOUT=90 "$wine_dir/run-e2e.sh" "$prefix" \
    "$boxsim" --pty "${expect[@]}" "${extra[@]}" -- "$exe" "$winpath" || rc=$?
echo "--- simulator ---"
cat "$work/peer.log" 2>/dev/null
echo "zurivavave.exe exited $rc (want $want)"
[ "$rc" -eq "$want" ] || exit 1
if [ "$mode" = complete ]; then
    grep -q '^OK ' "$work/peer.log" || { echo "the simulator did not get the image intact"; exit 1; }
    # PATH holds the Korean path unchanged (the file is UTF-16 now).
    iconv -f UTF-16 -t UTF-8 "$ini" | tr -d '\r' | grep -qxF "PATH=$winpath" ||
        { echo "PATH in SerialPort.ini is not $winpath:"; iconv -f UTF-16 -t UTF-8 "$ini"; exit 1; }
fi
exit 0
