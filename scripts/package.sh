#!/usr/bin/env bash
# Builds the installable packages and checks them:
#   - a Debian package (zurivavave-cli, zurivavave-boxsim, their man pages,
#     bash completion, the station service, copyright and changelog) from a
#     native release build with Debian's hardening flags; lintian must find
#     no error in it. It is installed with dpkg into a scratch root (never
#     into this machine: the packages and accounts here stay as they are, a
#     zurivavave-cli among them; the maintainer scripts run for that root
#     only), where the man pages must render without a warning and name
#     every option --help lists, the completion must complete, the installed
#     programs must serve a box, the station service must pass systemd's
#     checks and serve a box from its shipped settings
#     (packaging/test-station.sh), removing the package must keep its
#     settings and purging it must leave nothing behind but the station's
#     system user;
#   - a Windows zip (zurivavave.exe, zurivavave-cli.exe) from the MinGW build.
#
#   scripts/package.sh [OUT_DIR]        (default build/packages)
#
# Environment: ZV_PKG_NATIVE_DIR, ZV_PKG_MINGW_DIR (build directories,
# default build/pkg-native and build/pkg-mingw), ZV_JOBS (default 2).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

scripts/install-deps.sh package
# What this machine has of ours, to show at the end that a run changed none
# of it (install-deps.sh above installs only build and check tools).
host_packages() { dpkg-query -W -f='${binary:Package} ${Version} ${db:Status-Abbrev}\n' 'zurivavave*' 2>/dev/null || true; }
host_before=$(host_packages)

jobs=${ZV_JOBS:-2}
native=${ZV_PKG_NATIVE_DIR:-build/pkg-native}
mingw=${ZV_PKG_MINGW_DIR:-build/pkg-mingw}
out=${1:-build/packages}
mkdir -p "$out"
out=$(cd "$out" && pwd)
version=$(sed -n 's/^project(zurivavave VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
[ -n "$version" ] || { echo "package.sh: no version in CMakeLists.txt" >&2; exit 1; }

fail() { echo "package.sh: FAILED: $*" >&2; exit 1; }
step() { printf '\n=== %s\n' "$*"; }

step "Debian package"
# Built with Debian's hardening flags (all of them: bindnow too).
flags() { DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --get "$1"; }
cmake -S . -B "$native" -DCMAKE_BUILD_TYPE=Release -DZV_BUILD_TESTS=OFF \
    -DCMAKE_C_FLAGS="$(flags CPPFLAGS) $(flags CFLAGS)" \
    -DCMAKE_CXX_FLAGS="$(flags CPPFLAGS) $(flags CXXFLAGS)" \
    -DCMAKE_EXE_LINKER_FLAGS="$(flags LDFLAGS)" >/dev/null
cmake --build "$native" -j"$jobs"
debversion=$(dpkg-parsechangelog -l packaging/changelog -S Version)
[[ $debversion == "$version"-* ]] || fail "packaging/changelog: the newest entry is $debversion, none for $version"
(cd "$native" && cpack -G DEB -B "$out" >/dev/null)
deb=$out/zurivavave-cli_${debversion}_$(dpkg --print-architecture).deb
[ -f "$deb" ] || fail "no $deb"
echo "$deb"

contents=$(dpkg-deb -c "$deb")
doc=./usr/share/doc/zurivavave-cli
completions=./usr/share/bash-completion/completions
for f in ./usr/bin/zurivavave-cli ./usr/bin/zurivavave-boxsim \
         ./usr/share/man/man1/zurivavave-cli.1.gz ./usr/share/man/man1/zurivavave-boxsim.1.gz \
         $completions/zurivavave-cli $completions/zurivavave-boxsim \
         $doc/copyright $doc/changelog.Debian.gz \
         ./lib/systemd/system/zurivavave-station.service ./etc/zurivavave/station.conf \
         ./usr/libexec/zurivavave/zurivavave-station ./usr/lib/sysusers.d/zurivavave-cli.conf; do
    grep -q " $f\$" <<<"$contents" || fail "$f missing from $deb"
done
[ -z "$(awk '$2 != "root/root"' <<<"$contents")" ] || fail "files not owned by root in $deb"
[ "$(dpkg-deb -f "$deb" Package)" = zurivavave-cli ] || fail "package name"
[ "$(dpkg-deb -f "$deb" Version)" = "$debversion" ] || fail "package version"
depends=$(dpkg-deb -f "$deb" Depends)
grep -q libc6 <<<"$depends" && grep -q libstdc++6 <<<"$depends" ||
    fail "library dependencies not recorded: '$depends'"
dpkg-deb -I "$deb" md5sums >/dev/null || fail "no md5sums in $deb"
[ "$(dpkg-deb -I "$deb" conffiles)" = /etc/zurivavave/station.conf ] ||
    fail "the station's settings are not the one conffile of $deb: $(dpkg-deb -I "$deb" conffiles 2>&1)"
echo "Depends: $depends"

step "lintian"
# Errors and warnings fail the build; notes (I:) are shown.
lintian --fail-on error,warning --display-info "$deb" || fail "lintian found errors or warnings in $deb"

step "installed in a scratch root"
# dpkg installs the package under a root of its own: its files, its database,
# its log. That database holds this machine's records of the packages ours
# depends on (the records only, no files), so the Depends versions are
# checked against what a user's machine like this one has.
scratch=$(mktemp -d)
selftest=$(mktemp -d)
boxpid=
cleanup() { [ -z "$boxpid" ] || kill "$boxpid" 2>/dev/null; rm -rf "$scratch" "$selftest"; }
trap cleanup EXIT
admin=$scratch/var/lib/dpkg
mkdir -p "$admin/info" "$admin/updates" "$admin/triggers"
: >"$admin/status"
# Depends without versions and alternatives: one package name a word.
for dep in $(sed 's/([^)]*)//g; s/|[^,]*//g; s/,/ /g' <<<"$depends"); do
    dpkg-query -s "$dep" >>"$admin/status" 2>/dev/null || fail "$dep, which the package depends on, is not installed here"
    echo >>"$admin/status"
done
# The accounts of a Debian system before the package: root, and the group
# that owns the serial ports. The postinst adds the station's user here.
mkdir -p "$scratch/etc"
echo 'root:x:0:0:root:/root:/bin/bash' >"$scratch/etc/passwd"
printf 'root:x:0:\ndialout:x:20:\n' >"$scratch/etc/group"
echo 'root:*:19000:0:99999:7:::' >"$scratch/etc/shadow"
printf 'root:*::\ndialout:*::\n' >"$scratch/etc/gshadow"
# The maintainer scripts run here without a chroot (the scratch root has no
# shell), with DPKG_ROOT naming the root they may touch.
in_scratch() { dpkg --root="$scratch" --force-not-root --force-script-chrootless --log=/dev/null "$@"; }
output=$(in_scratch -i "$deb" 2>&1) || fail "dpkg --root=$scratch -i $deb: $output"
in_scratch -L zurivavave-cli | grep -qx /usr/bin/zurivavave-cli || fail "dpkg does not list the installed files"
[ "$(man -M "$scratch/usr/share/man" -w zurivavave-cli)" = "$scratch/usr/share/man/man1/zurivavave-cli.1.gz" ] ||
    fail "man does not find the installed page"
echo "installed in $scratch"

step "man pages and bash completion"
# has_option OPTION: stdin names OPTION as a word of its own.
has_option() { grep -qE -- "(^|[^[:alnum:]-])$1([^[:alnum:]-]|\$)"; }
# Every long option that a line of the program's --help starts with has an
# entry of its own in its man page (a .TP tag) and is in its completion
# function, so neither falls behind the program. Options the page describes
# that --help does not name are listed.
check_documented() {
    local program=$1 page=$2 function=$3 help tags completion opt
    help=$("$program" --help) || fail "$program --help"
    tags=$(zcat "$page" | awk 'tag { print } { tag = ($0 == ".TP") }' | sed 's/\\-/-/g; s/\\f[BIRP]//g')
    completion=$(sed -n "/^$function()/,/^}/p" "$scratch/${completions#./}/zurivavave-cli")
    local listed missing=() incomplete=() ahead=()
    listed=$(grep -oE '^ {1,8}(-[[:alnum:]], )?--[[:alnum:]][[:alnum:]-]*' <<<"$help" |
             grep -oE -- '--[[:alnum:]-]+' | sort -u || true)
    [ -n "$listed" ] || fail "no options found in $program --help"
    for opt in $listed; do
        has_option "$opt" <<<"$tags" || missing+=("$opt")
        has_option "$opt" <<<"$completion" || incomplete+=("$opt")
    done
    [ ${#missing[@]} -eq 0 ] || fail "${page##*/} lacks ${missing[*]}, which ${program##*/} --help lists"
    [ ${#incomplete[@]} -eq 0 ] || fail "the bash completion of ${program##*/} lacks ${incomplete[*]}"
    for opt in $(grep -oE -- '--[[:alnum:]][[:alnum:]-]*' <<<"$tags" | sort -u); do
        has_option "$opt" <<<"$help" || ahead+=("$opt")
    done
    [ ${#ahead[@]} -eq 0 ] || echo "note: ${page##*/} describes ${ahead[*]}, which ${program##*/} --help does not name"
}
for program in zurivavave-cli zurivavave-boxsim; do
    page=$scratch/usr/share/man/man1/$program.1.gz
    warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
    [ -z "$warnings" ] || fail "man --warnings -l $program.1.gz: $warnings"
    check_documented "$scratch/usr/bin/$program" "$page" "_${program//-/_}"
done
# Every result a record can carry, as --help lists them, has its entry under
# Results in the man page.
# (--help is read whole first: awk stops early, which must not cut the
# program off with SIGPIPE mid-write.)
help_text=$("$scratch/usr/bin/zurivavave-cli" --help)
help_results=$(awk 'on && /^    [a-z]/ { exit } /^    result / { on = 1 } on' <<<"$help_text" |
               tr '\n' ' ' | sed 's/(.*//; s/^ *result //' | grep -oE '[a-z]+(_[a-z]+)*')
man_results=$(zcat "$scratch/usr/share/man/man1/zurivavave-cli.1.gz" | sed -n '/^\.SS Results/,/^\.S[SH]/p' |
              awk 'tag { print $2 } { tag = ($0 == ".TP") }')
[ "$(wc -w <<<"$help_results")" -ge 10 ] || fail "no results found in zurivavave-cli --help: $help_results"
for result in $help_results; do
    grep -qx "$result" <<<"$man_results" || fail "zurivavave-cli.1 lists no result $result, which --help lists"
done
echo "man --warnings: no warnings; every option of --help is in the man pages and the completion, every result in the man page"
packaging/test-completion.sh "$scratch"

step "the installed programs serve a box"
cli=$scratch/usr/bin/zurivavave-cli
boxsim=$scratch/usr/bin/zurivavave-boxsim
"$cli" --version | grep -qx "zurivavave-cli $version" || fail "$cli --version"
"$boxsim" --version | grep -qx "zurivavave-boxsim $version" || fail "$boxsim --version"
# The man page's self-test: the simulator on a pseudo-terminal exits 0 only
# when every byte it received equals the image.
head -c 70000 /dev/urandom >"$selftest/fw.wzb"
"$boxsim" --pty --wait-host --hello-timeout 60000 --expect "$selftest/fw.wzb" >"$selftest/box.out" 2>&1 &
boxpid=$!
for _ in $(seq 600); do
    grep -q '^PTY ' "$selftest/box.out" || ! kill -0 "$boxpid" 2>/dev/null && break
    sleep 0.1
done
pty=$(sed -n 's/^PTY //p' "$selftest/box.out")
[ -n "$pty" ] || fail "the simulator named no pseudo-terminal: $(cat "$selftest/box.out")"
timeout 120 "$cli" -q -p "$pty" "$selftest/fw.wzb" || fail "$cli did not serve the simulated box (exit $?)"
wait "$boxpid" || fail "the simulated box did not receive the image: $(cat "$selftest/box.out")"
boxpid=
echo "installed and ran: $("$cli" --version), served a box"

step "the station service"
packaging/test-station.sh "$scratch"

step "removed from the scratch root"
output=$(in_scratch -r zurivavave-cli 2>&1) || fail "dpkg --root=$scratch -r zurivavave-cli: $output"
[ -f "$scratch/etc/zurivavave/station.conf" ] || fail "removing the package took the station's settings"
output=$(in_scratch -P zurivavave-cli 2>&1) || fail "dpkg --root=$scratch -P zurivavave-cli: $output"
# What stays: the account files (with the station's user: Debian leaves
# system users in place) and dpkg's own database.
left=$(find "$scratch" -mindepth 1 \( -path "$scratch/var" -o -path "$scratch/etc" \) -prune -o -print
       find "$scratch/etc" -mindepth 1 ! -name '*passwd*' ! -name '*group*' ! -name '*shadow*' ! -name .pwd.lock)
[ -z "$left" ] || fail "purging the package left $left"
host_after=$(host_packages)
[ "$host_after" = "$host_before" ] ||
    fail "this machine's zurivavave packages changed during the run: before [$host_before], after [$host_after]"
echo "removed; this machine's packages untouched (zurivavave: ${host_after:-none installed})"

step "Windows zip"
cmake -S . -B "$mingw" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DZV_BUILD_TESTS=OFF >/dev/null
cmake --build "$mingw" -j"$jobs"
(cd "$mingw" && cpack -G ZIP -B "$out" >/dev/null)
zip=$out/zurivavave-$version-win64.zip
[ -f "$zip" ] || fail "no $zip"
echo "$zip"
listing=$(unzip -Z1 "$zip")
for exe in zurivavave.exe zurivavave-cli.exe; do
    path=$(grep -E "(^|/)$exe\$" <<<"$listing" | head -1)
    [ -n "$path" ] || fail "$exe missing from $zip"
    [ "$(unzip -p "$zip" "$path" | head -c 2)" = MZ ] || fail "$exe is no Windows program"
done

step "packages built and checked"
ls -l "$deb" "$zip"
