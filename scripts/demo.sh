#!/usr/bin/env bash
# Builds the command-line downloader and the box simulator, then serves a
# 2 MiB test image to the simulated box over a pseudo-terminal pair at an
# emulated 115200 baud, with the progress line shown.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh demo
cmake -S . -B build/demo -DCMAKE_BUILD_TYPE=Release -DZV_BUILD_TESTS=OFF >/dev/null
cmake --build build/demo -j"$(nproc)" --target zurivavave-cli zurivavave-boxsim >/dev/null

work=$(mktemp -d)
sim_pid=
cleanup() { [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null; rm -rf "$work"; }
trap cleanup EXIT

size=${DEMO_SIZE:-262144}
head -c "$size" /dev/urandom > "$work/firmware.wzb"
echo "Image: $work/firmware.wzb ($size bytes)"

# The simulated box makes the virtual serial line and prints its end.
build/demo/tools/boxsim/zurivavave-boxsim --pty --baud 115200 --time \
    --expect "$work/firmware.wzb" > "$work/box.log" 2>&1 &
sim_pid=$!
for _ in $(seq 100); do grep -q '^PTY ' "$work/box.log" 2>/dev/null && break; sleep 0.05; done
port=$(sed -n 's/^PTY //p' "$work/box.log" | head -n1)
[ -n "$port" ] || { cat "$work/box.log"; exit 1; }
echo "Simulated box on $port"

rc=0
build/demo/cli/zurivavave-cli --port "$port" --speed 115200 "$work/firmware.wzb" || rc=$?
sim_rc=0
wait "$sim_pid" || sim_rc=$?
sim_pid=
echo "--- box simulator ---"; cat "$work/box.log"
if [ $rc -eq 0 ] && [ $sim_rc -eq 0 ]; then
  echo "Demo OK: the box received the image intact."
else
  echo "Demo FAILED: downloader exit $rc, simulator exit $sim_rc"
  exit 1
fi
