#!/usr/bin/env bash
# A whole download to a box, in one command:
#
#   scripts/demo.sh                      the command-line downloader serves a
#                                        256 KiB test image to the simulated
#                                        box over a pseudo-terminal pair at an
#                                        emulated 115200 baud
#   scripts/demo.sh --gui                the same with the Windows program
#                                        under Wine: its window on your display
#                                        (gradient bar, status line), or under
#                                        a virtual display without one, where a
#                                        screenshot is saved mid-transfer
#   scripts/demo.sh --station            a station of eight simulated lines with
#                                        the board on the terminal and on the
#                                        web, a failing box and a port set
#                                        aside (scripts/demo-station.sh)
#   scripts/demo.sh [--gui] --port DEVICE FILE
#                                        a real box on a serial adapter (COM1
#                                        of the Wine prefix with --gui) is sent
#                                        FILE; reset the box when asked to
#
# Builds what it needs first (installing missing Debian packages). DEMO_SIZE
# sets the test image's size in bytes.
set -euo pipefail
cd "$(dirname "$0")/.."

gui=0
device=
file=
while [ $# -gt 0 ]; do
  case $1 in
    --gui) gui=1; shift ;;
    --station) shift; exec scripts/demo-station.sh "$@" ;;
    --port) [ $# -ge 2 ] || { echo "--port needs a device" >&2; exit 2; }; device=$2; shift 2 ;;
    -h|--help) sed -n '2,23p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    -*) echo "unknown option $1 (see --help)" >&2; exit 2 ;;
    *) file=$1; shift ;;
  esac
done
if [ -n "$device" ]; then
  # A real box flashes what it is sent: never a random test image.
  [ -n "$file" ] || { echo "--port needs the firmware FILE to send" >&2; exit 2; }
  [ -e "$device" ] || { echo "no device $device" >&2; exit 2; }
fi
[ -z "$file" ] || [ -f "$file" ] || { echo "no file $file" >&2; exit 2; }
[ -z "$file" ] || file=$(cd "$(dirname "$file")" && pwd)/$(basename "$file")

if (( gui )); then
  scripts/install-deps.sh test   # Wine, MinGW-w64, Xvfb, ImageMagick
else
  scripts/install-deps.sh demo
fi
cmake -S . -B build/demo -DCMAKE_BUILD_TYPE=Release -DZV_BUILD_TESTS=OFF >/dev/null
cmake --build build/demo -j"$(nproc)" --target zurivavave-cli zurivavave-boxsim >/dev/null
if (( gui )); then
  cmake -S . -B build/demo-mingw -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
      -DCMAKE_BUILD_TYPE=Release -DZV_BUILD_TESTS=OFF >/dev/null
  cmake --build build/demo-mingw -j"$(nproc)" --target zurivavave zv-desktop-ready >/dev/null
fi

work=$(mktemp -d)
sim_pid=
prefix=$PWD/build/demo-mingw/wine/demo-prefix
cleanup() {
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null
  (( gui )) && tests/wine/wine-session.sh destroy "$prefix" >/dev/null 2>&1
  rm -rf "$work"
}
trap cleanup EXIT

if [ -z "$file" ]; then
  size=${DEMO_SIZE:-262144}
  file=$work/firmware.wzb
  head -c "$size" /dev/urandom > "$file"
fi
echo "Image: $file ($(stat -c %s "$file") bytes)"

port=$device
if [ -z "$device" ]; then
  # The simulated box makes the virtual serial line and prints its end. It
  # waits for the program to open the line, which under Wine takes a while.
  build/demo/tools/boxsim/zurivavave-boxsim --pty --wait-host --hello-timeout 120000 \
      --baud 115200 --time --expect "$file" > "$work/box.log" 2>&1 &
  sim_pid=$!
  for _ in $(seq 100); do grep -q '^PTY ' "$work/box.log" 2>/dev/null && break; sleep 0.05; done
  port=$(sed -n 's/^PTY //p' "$work/box.log" | head -n1)
  [ -n "$port" ] || { cat "$work/box.log"; exit 1; }
  echo "Simulated box on $port"
fi

rc=0
if (( gui )); then
  # A fresh prefix whose COM1 is the line; the program finds COM1 at
  # 115200 baud in its settings file and starts at once with the file.
  tests/wine/wine-session.sh create "$prefix" 2>/dev/null
  mkdir -p "$prefix/drive_c/Temp"
  printf '[SERIALPORT]\r\nPORT=0\r\nSPEED=115200\r\n' > "$prefix/drive_c/Temp/SerialPort.ini"
  exe=$PWD/build/demo-mingw/app/zurivavave.exe
  winfile="Z:$(echo "$file" | tr / '\\')"
  shot=$PWD/build/demo-mingw/demo-window.png
  limit=600
  [ -n "$device" ] && limit=3600
  run=(tests/wine/wine-session.sh run "$prefix" --com "1=$port" --timeout "$limit")
  if [ -n "${DISPLAY:-}" ]; then
    # A window manager decorates the window and lets it be moved.
    WINEPREFIX=$prefix wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d Y /f >/dev/null 2>&1
    echo "The window opens on $DISPLAY; it closes by itself when the box is done."
    [ -n "$device" ] && echo "Reset the box when the status line says so."
    "${run[@]}" --display -- "${ZV_WINE:-wine}" "$exe" "$winfile" 2>/dev/null || rc=$?
  else
    # No display: a virtual one, and a picture of the window a few
    # seconds into the transfer.
    echo "No display: running under Xvfb; a screenshot goes to $shot"
    "${run[@]}" -- bash -c '
        "$ZV_WINE" "$1" "$2" & pid=$!
        sleep "${DEMO_SHOT_AFTER:-10}"
        import -window root -trim +repage "$3" 2>/dev/null || echo "no screenshot taken"
        wait "$pid"' demo "$exe" "$winfile" "$shot" 2>/dev/null || rc=$?
    [ -f "$shot" ] && echo "Screenshot of the window mid-transfer: $shot"
  fi
  echo "zurivavave.exe exited $rc (0: \"Completely Transfered!\")"
else
  build/demo/cli/zurivavave-cli --port "$port" --speed 115200 "$file" || rc=$?
fi

sim_rc=0
if [ -n "$sim_pid" ]; then
  wait "$sim_pid" || sim_rc=$?
  sim_pid=
  echo "--- box simulator ---"; cat "$work/box.log"
fi
if [ $rc -eq 0 ] && [ $sim_rc -eq 0 ]; then
  if [ -n "$device" ]; then echo "Demo OK: the box reported the download done."
  else echo "Demo OK: the box received the image intact."; fi
else
  echo "Demo FAILED: downloader exit $rc, simulator exit $sim_rc"
  exit 1
fi
