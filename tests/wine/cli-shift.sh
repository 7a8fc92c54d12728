#!/bin/bash
# zurivavave-cli.exe under wine serves a line of boxes on COM1 in a shift
# (--loop --count) with a log: passes when every box completed and the log
# holds one whole record per box, each with the image's SHA-256 (CNG's, to
# be compared with coreutils') and the image's name as given. The image and
# the log lie in a folder of Korean name and the image's name has an
# accent: neither fits the ANSI code page (see LANG).
#
# Then the user ends a shift while its third box holds the line, Ctrl+C
# pressed twice: exit 130 (not the system's code for a process killed by
# Ctrl+C), the two boxes before on record as completed, the third as
# interrupted.
#
#   cli-shift.sh PREFIX BOXSIM CLI.exe BOXES
set -u

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
[ $# -eq 4 ] || { sed -n '2,14p' "$0" >&2; exit 2; }
prefix=$1 boxsim=$2 cli=$3 boxes=$4
if [ ! -x "$boxsim" ]; then
    echo "SKIPPED: no box simulator at $boxsim" >&2
    exit 77
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/zv-cli-shift.XXXXXX")
trap 'rm -rf "$work"' EXIT
dir=$work/펌웨어
mkdir -p "$dir"
image=$dir/café.wzb
head -c 30000 /dev/urandom >"$image"

"$here/run-e2e.sh" --check-peer "$prefix" \
    "$boxsim" --pty --wait-host --expect "$image" --hello-timeout 60000 \
    --boxes "$boxes" --box-pause 300 -- \
    "$cli" --loop --count "$boxes" --log "Z:$dir/shift.jsonl" --port COM1 "Z:$image" || exit $?

sha=$(sha256sum "$image" | cut -d' ' -f1)
lines=$(wc -l <"$dir/shift.jsonl")
good=$(grep "\"sha256\":\"$sha\",\"sha256_bytes\":30000," "$dir/shift.jsonl" | grep -c '"result":"completed"')
# Records name the file by its absolute path, with Windows' separators.
named=$(grep -cF "\"file\":\"$(printf 'Z:%s' "$image" | sed 's|/|\\\\|g')\"" "$dir/shift.jsonl")
if [ "$lines" -ne "$boxes" ] || [ "$good" -ne "$boxes" ] || [ "$named" -ne "$boxes" ] ||
   [ "$(tail -c 1 "$dir/shift.jsonl" | od -An -c | tr -d ' ')" != '\n' ]; then
    echo "FAILED: want $boxes whole records of Z:$image with sha256 $sha, got $lines lines," \
         "$good with the hash, $named with the name:" >&2
    cat "$dir/shift.jsonl" >&2
    exit 1
fi
echo "OK: $boxes boxes, each on record with the image's name and SHA-256"

rc=0
ZV_INTERRUPT_AFTER="holding the line" "$here/run-e2e.sh" "$prefix" \
    "$boxsim" --pty --wait-host --expect "$image" --hello-timeout 60000 --boxes 3 --box-pause 300 \
    --fault-box 3 --silent-after 3 -- \
    "$cli" --loop --log "Z:$dir/stopped.jsonl" --port COM1 "Z:$image" || rc=$?
completed=$(grep -c '"result":"completed"' "$dir/stopped.jsonl")
interrupted=$(grep -c '"result":"interrupted"' "$dir/stopped.jsonl")
if [ "$rc" -ne 130 ] || [ "$completed" -ne 2 ] || [ "$interrupted" -ne 1 ]; then
    echo "FAILED: Ctrl+C twice: exit $rc (want 130), $completed completed and $interrupted interrupted" \
         "on record (want 2 and 1):" >&2
    cat "$dir/stopped.jsonl" >&2
    exit 1
fi
echo "OK: Ctrl+C twice ended the shift with 130, its boxes on record"
