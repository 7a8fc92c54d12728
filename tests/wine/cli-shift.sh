#!/bin/bash
# zurivavave-cli.exe under wine serves a line of boxes on COM1 in a shift
# (--loop --count) with a log: passes when every box completed and the log
# holds one whole record per box, each with the image's SHA-256 (CNG's, to
# be compared with coreutils').
#
#   cli-shift.sh PREFIX BOXSIM CLI.exe BOXES
set -u

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
[ $# -eq 4 ] || { sed -n '2,7p' "$0" >&2; exit 2; }
prefix=$1 boxsim=$2 cli=$3 boxes=$4
if [ ! -x "$boxsim" ]; then
    echo "SKIPPED: no box simulator at $boxsim" >&2
    exit 77
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/zv-cli-shift.XXXXXX")
trap 'rm -rf "$work"' EXIT
head -c 30000 /dev/urandom >"$work/image.wzb"

"$here/run-e2e.sh" --check-peer "$prefix" \
    "$boxsim" --pty --wait-host --expect "$work/image.wzb" --hello-timeout 60000 \
    --boxes "$boxes" --box-pause 300 -- \
    "$cli" --loop --count "$boxes" --log "Z:$work/shift.jsonl" --port COM1 "Z:$work/image.wzb" || exit $?

sha=$(sha256sum "$work/image.wzb" | cut -d' ' -f1)
lines=$(wc -l <"$work/shift.jsonl")
good=$(grep -c "\"sha256\":\"$sha\",\"sha256_bytes\":30000,\"result\":\"completed\"" "$work/shift.jsonl")
if [ "$lines" -ne "$boxes" ] || [ "$good" -ne "$boxes" ] || [ "$(tail -c 1 "$work/shift.jsonl" | od -An -c | tr -d ' ')" != '\n' ]; then
    echo "FAILED: want $boxes whole records with sha256 $sha, got $lines lines, $good matching:" >&2
    cat "$work/shift.jsonl" >&2
    exit 1
fi
echo "OK: $boxes boxes, each on record with the image's SHA-256"
