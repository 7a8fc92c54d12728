#!/usr/bin/env bash
# Tries the packaged bash completion as a user's shell meets it: bash-completion
# loads it by command name from ROOT/usr/share/bash-completion/completions, and
# the completions offered for a few command lines are compared with what they
# must be. zurivavave-cli is asked for the ports, so a stand-in on the PATH
# answers with known names (once with the -q list, once with only the table).
#
#   packaging/test-completion.sh ROOT     (ROOT: / for an installed package,
#                                          else where the .deb was unpacked)
set -uo pipefail   # no -e: completion functions may return non-zero
root=$(cd "${1:?usage: test-completion.sh ROOT}" && pwd)

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/q" "$work/table" "$work/files/sub dir" "$work/files/fw"
cat >"$work/q/zurivavave-cli" <<'EOF'
#!/bin/sh
[ "$*" = "--list-ports -q" ] && printf '/dev/ttyUSB0\n/dev/ttyUSB1\n/dev/ttyACM0\n' && exit 0
exit 2
EOF
cat >"$work/table/zurivavave-cli" <<'EOF'
#!/bin/sh
[ "$*" = "--list-ports" ] || { echo "zurivavave-cli: unknown option '-q'" >&2; exit 2; }
echo "/dev/ttyS4    -          16550A UART"
echo "/dev/ttyUSB7  0403:6001  FTDI FT232R  /dev/serial/by-id/usb-FTDI-if00-port0"
EOF
chmod +x "$work/q/zurivavave-cli" "$work/table/zurivavave-cli"
touch "$work/files/a.wzb" "$work/files/B.KXR" "$work/files/c.Wzb" "$work/files/notes.txt" \
      "$work/files/sub dir/d.wzb" "$work/files/fw/e.KXR" "$work/files/fw/x.bin"

export BASH_COMPLETION_USER_DIR=$work/none XDG_DATA_DIRS=$root/usr/share
# shellcheck disable=SC1091
. /usr/share/bash-completion/bash_completion
for cmd in zurivavave-cli zurivavave-boxsim; do
    __load_completion "$cmd" && complete -p "$cmd" >/dev/null 2>&1 ||
        { echo "test-completion: FAILED: no completion loaded for $cmd from $root" >&2; exit 1; }
done
cd "$work/files"

failures=0
# check 'LINE' EXPECTED...: completes LINE (the cursor at its end) and
# compares the sorted COMPREPLY with EXPECTED. The words are split as bash
# splits them, '=' being a word of its own.
check()
{
    local line=$1
    shift
    local -a words
    read -ra words <<<"${line//=/ = }"
    [[ $line == *[\ =] ]] && words+=("")
    COMP_LINE=$line COMP_POINT=${#line} COMP_WORDS=("${words[@]}") COMP_CWORD=$((${#words[@]} - 1))
    COMPREPLY=()
    local func
    func=$(complete -p "${words[0]}" | sed -n 's/.*-F \([^ ]*\) .*/\1/p')
    "$func" "${words[0]}" "${words[COMP_CWORD]}" "${words[COMP_CWORD - 1]}"
    local got want
    got=$(printf '%s\n' "${COMPREPLY[@]}" | sort | paste -sd' ')
    want=$(printf '%s\n' "$@" | sort | paste -sd' ')
    if [[ $got != "$want" ]]; then
        echo "test-completion: FAILED: '$line': got [$got], want [$want]" >&2
        failures=$((failures + 1))
    fi
}

speeds=(19200 38400 57600 115200 230400 460800 921600)
images=(a.wzb B.KXR c.Wzb fw "sub dir")

PATH=$work/q:$PATH
check 'zurivavave-cli --sp' --speed
check 'zurivavave-cli --l' --list-ports --log --loop
check 'zurivavave-cli -' -p --port -b --speed --baud --trace --json --log --loop --count \
    --max-failures --wait-timeout --require-full --station --operator --order --expect-sha256 --http \
    -q --quiet --check --list-ports --report -h --help -V --version
check 'zurivavave-cli -b ' "${speeds[@]}"
check 'zurivavave-cli --baud 4' 460800
check 'zurivavave-cli --speed=2' 230400
check 'zurivavave-cli -p ' /dev/ttyUSB0 /dev/ttyUSB1 /dev/ttyACM0
check 'zurivavave-cli --port=/dev/ttyU' /dev/ttyUSB0 /dev/ttyUSB1
check 'zurivavave-cli -p /dev/ttyUSB0=' "${images[@]}"
check 'zurivavave-cli -p /dev/ttyUSB0=B' B.KXR
check 'zurivavave-cli -b 115200 ' "${images[@]}"
check 'zurivavave-cli fw/' fw/e.KXR
check 'zurivavave-cli -- -' 
check 'zurivavave-cli --trace ' "${images[@]}" notes.txt
check 'zurivavave-cli --log n' notes.txt
check 'zurivavave-cli --count ' 
check 'zurivavave-cli --report a.wzb n' notes.txt
check 'zurivavave-cli --http ' 
check 'zurivavave-boxsim --ex' --expect
check 'zurivavave-boxsim --expect ' "${images[@]}"
check 'zurivavave-boxsim --out n' notes.txt
check 'zurivavave-boxsim -b 9' 921600
check 'zurivavave-boxsim --boxes ' 
check 'zurivavave-boxsim --link-p' --link-prefix
check 'zurivavave-boxsim --hello-payload ' 
check 'zurivavave-boxsim -p /dev/ttyA' /dev/ttyACM0
PATH=$work/table:${PATH#"$work/q:"}
check 'zurivavave-cli -p ' /dev/ttyS4 /dev/ttyUSB7

if ((failures > 0)); then
    exit 1
fi
echo "test-completion: bash completion of zurivavave-cli and zurivavave-boxsim OK"
