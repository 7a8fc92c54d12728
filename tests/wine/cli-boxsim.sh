#!/bin/bash
# zurivavave-cli.exe under wine serves a file to the box simulator on COM1;
# passes when the CLI reports success and the simulator received exactly
# the file.
#
#   cli-boxsim.sh PREFIX BOXSIM CLI.exe SIZE SPEED [BOXSIM_ARGS...]
#
# SIZE bytes of random data are served at SPEED baud. Exits 77 (skipped)
# when the box simulator has not been built.
set -u

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
[ $# -ge 5 ] || { sed -n '2,9p' "$0" >&2; exit 2; }
prefix=$1 boxsim=$2 cli=$3 size=$4 speed=$5
shift 5

if [ ! -x "$boxsim" ]; then
    echo "SKIPPED: no box simulator at $boxsim (build the native tree and point ZV_NATIVE_BUILD_DIR at it)" >&2
    exit 77
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/zv-cli-e2e.XXXXXX")
trap 'rm -rf "$work"' EXIT
head -c "$size" /dev/urandom >"$work/image.wzb"

# Wine sees the host's root as drive Z:.
"$here/run-e2e.sh" --check-peer "$prefix" \
    "$boxsim" --pty --wait-host --expect "$work/image.wzb" --hello-timeout 60000 "$@" -- \
    "$cli" --port COM1 --speed "$speed" "Z:$work/image.wzb"
