#!/bin/bash
# zurivavave.exe in command-line mode under wine, serving the box simulator
# on COM1 (set through the settings file of the prefix):
#
#   exe-e2e.sh PREFIX BOXSIM EXE MODE
#
# MODE complete: exits 0 and the simulator got the image intact.
# MODE past-end: the box asks beyond the file's end: exits 5.
# MODE silent:   the box falls silent after three requests: the watchdog
#                gives up and the program exits 6.
set -u
prefix=$1 boxsim=$2 exe=$3 mode=$4
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
wine_dir=$(cd "$here/../wine" && pwd)

[ -x "$boxsim" ] || { echo "SKIPPED: $boxsim has not been built" >&2; exit 77; }

work=$(mktemp -d "${TMPDIR:-/tmp}/zv-exe-e2e.XXXXXX")
trap 'rm -rf "$work"' EXIT
image=$work/firmware.wzb
head -c 65536 /dev/urandom > "$image"

# COM1 at 115200 baud for the program; the harness points COM1 at the
# simulator's pseudo-terminal.
mkdir -p "$prefix/drive_c/Temp"
printf '[SERIALPORT]\r\nPORT=0\r\nSPEED=115200\r\n' > "$prefix/drive_c/Temp/SerialPort.ini"

case $mode in
    complete) extra=(--time); want=0 ;;
    past-end) extra=(--past-end); want=5 ;;
    silent)   extra=(--silent-after 3); want=6 ;;
    *) echo "unknown mode $mode" >&2; exit 2 ;;
esac

winpath="Z:$(echo "$image" | tr / '\\')"
rc=0
ZV_PEER_LOG=$work/peer.log ZV_TIMEOUT=90 "$wine_dir/run-e2e.sh" "$prefix" \
    "$boxsim" --pty --expect "$image" "${extra[@]}" -- "$exe" "$winpath" || rc=$?
echo "--- simulator ---"
cat "$work/peer.log" 2>/dev/null
echo "zurivavave.exe exited $rc (want $want)"
[ "$rc" -eq "$want" ] || exit 1
if [ "$mode" = complete ]; then
    grep -q '^OK ' "$work/peer.log" || { echo "the simulator did not get the image intact"; exit 1; }
fi
exit 0
