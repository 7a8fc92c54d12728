#!/usr/bin/env bash
# A station of a line, in one command (scripts/demo.sh --station):
#
#   eight simulated boxes' lines in two simulator processes, linked as
#   bay*, served by one zurivavave-cli shift with its board on this
#   terminal and on the web (--http); one line's second box asks past the
#   end of the image (one failure), another line's boxes all do, so its port
#   is set aside after two failures in a row. The web board opens in
#   Chromium on your display, or without a display a screenshot of it is
#   saved (headless Chromium) once the port is set aside. When the good
#   lines are done the shift is ended as Ctrl+C would, and its report
#   printed.
#
# Builds what it needs first (installing missing Debian packages).
# DEMO_SIZE sets the image's size in bytes (default 65536), DEMO_BOXES the
# boxes per line (default 3).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh station
cmake -S . -B build/demo -DCMAKE_BUILD_TYPE=Release -DZV_BUILD_TESTS=OFF >/dev/null
cmake --build build/demo -j"$(nproc)" --target zurivavave-cli zurivavave-boxsim >/dev/null
cli=$PWD/build/demo/cli/zurivavave-cli
boxsim=$PWD/build/demo/tools/boxsim/zurivavave-boxsim
shot=$PWD/build/demo/station-board.png

work=$(mktemp -d)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

boxes=${DEMO_BOXES:-3}
image=$work/firmware.wzb
head -c "${DEMO_SIZE:-65536}" /dev/urandom > "$image"
common=(--pty --wait-host --baud 115200 --boxes "$boxes" --box-pause 1500 --hello-timeout 600000
        --linger 600000 --expect "$image")
# Six good lines, one whose second box fails, one whose boxes all fail.
"$boxsim" "${common[@]}" --lines 6 --link-prefix "$work/bay" > "$work/good.log" 2>&1 & pids+=($!)
"$boxsim" "${common[@]}" --link "$work/bay6" --fault-box 2 --past-end > "$work/once.log" 2>&1 & pids+=($!)
"$boxsim" "${common[@]}" --link "$work/bay7" --past-end > "$work/bad.log" 2>&1 & pids+=($!)
for _ in $(seq 100); do [ -e "$work/bay7" ] && [ -e "$work/bay6" ] && [ -e "$work/bay5" ] && break; sleep 0.1; done

log=$work/shift.jsonl
"$cli" --loop --count "$boxes" --max-failures 2 --station "demo line" --log "$log" --http 127.0.0.1:0 \
    -p "$work/bay*" "$image" 2> >(tee "$work/cli.err" >&2) &
cli_pid=$!
pids+=($cli_pid)
url=
for _ in $(seq 100); do
  url=$(sed -n 's/.*board at \(http:[^ ]*\).*/\1/p' "$work/cli.err" 2>/dev/null | head -n1)
  [ -n "$url" ] && break
  sleep 0.1
done
[ -n "$url" ] || { echo "the station did not start"; exit 1; }

browser=(chromium --no-first-run --disable-background-networking --disable-component-update --disable-sync
         --user-data-dir="$work/chromium")
[ "$(id -u)" -eq 0 ] && browser+=(--no-sandbox)
if [ -n "${DISPLAY:-}" ]; then
  "${browser[@]}" --app="$url" >/dev/null 2>&1 & pids+=($!)
fi
# Until the failing line's port is set aside, then the board's picture.
for _ in $(seq 600); do
  curl -fs "${url%/}/api/state" | grep -q '"state":"aside"' && break
  sleep 0.5
done
if [ -z "${DISPLAY:-}" ]; then
  # The board's event stream never ends: the picture is taken after a
  # fixed time instead of when the page would be done loading.
  timeout 60 "${browser[@]}" --headless --disable-gpu --hide-scrollbars --window-size=1280,720 --timeout=3000 \
      --screenshot="$shot" "$url" >/dev/null 2>&1 && echo "Screenshot of the board: $shot" >&2
fi
# The good lines' boxes and the one failure are on record: end the shift.
want=$((7 * boxes))
for _ in $(seq 1200); do
  [ "$(grep -c '"result":"completed"\|"result":"size_over"' "$log" 2>/dev/null)" -ge "$((want + 2))" ] && break
  sleep 0.5
done
kill -INT "$cli_pid"
rc=0
wait "$cli_pid" || rc=$?
echo
echo "The shift ended with exit $rc (130: ended by the operator, as Ctrl+C)."
"$cli" --report "$log"
