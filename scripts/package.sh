#!/usr/bin/env bash
# Builds the installable packages and checks them:
#   - a Debian package (zurivavave-cli, zurivavave-boxsim, their man pages,
#     bash completion, copyright and changelog) from a native release build
#     with Debian's hardening flags; lintian must find no error in it, the man
#     pages must render without a warning and name every option --help lists,
#     the completion must complete; it is installed with dpkg -i (as root;
#     otherwise unpacked with dpkg -x) and the installed zurivavave-cli must
#     run; an installed package is removed again afterwards;
#   - a Windows zip (zurivavave.exe, zurivavave-cli.exe) from the MinGW build.
#
#   scripts/package.sh [OUT_DIR]        (default build/packages)
#
# Environment: ZV_PKG_NATIVE_DIR, ZV_PKG_MINGW_DIR (build directories,
# default build/pkg-native and build/pkg-mingw), ZV_JOBS (default 2),
# ZV_PKG_INSTALL=0 to unpack instead of installing even as root.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

scripts/install-deps.sh package

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
         $doc/copyright $doc/changelog.Debian.gz; do
    grep -q " $f\$" <<<"$contents" || fail "$f missing from $deb"
done
[ -z "$(awk '$2 != "root/root"' <<<"$contents")" ] || fail "files not owned by root in $deb"
[ "$(dpkg-deb -f "$deb" Package)" = zurivavave-cli ] || fail "package name"
[ "$(dpkg-deb -f "$deb" Version)" = "$debversion" ] || fail "package version"
depends=$(dpkg-deb -f "$deb" Depends)
grep -q libc6 <<<"$depends" && grep -q libstdc++6 <<<"$depends" ||
    fail "library dependencies not recorded: '$depends'"
dpkg-deb -I "$deb" md5sums >/dev/null || fail "no md5sums in $deb"
echo "Depends: $depends"

step "lintian"
# Errors and warnings fail the build; notes (I:) are shown.
lintian --fail-on error,warning --display-info "$deb" || fail "lintian found errors or warnings in $deb"

step "man pages and bash completion"
unpacked=$(mktemp -d)
cleanup() { rm -rf "$unpacked"; }
trap cleanup EXIT
dpkg -x "$deb" "$unpacked"
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
    completion=$(sed -n "/^$function()/,/^}/p" "$unpacked/${completions#./}/zurivavave-cli")
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
    page=$unpacked/usr/share/man/man1/$program.1.gz
    warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
    [ -z "$warnings" ] || fail "man --warnings -l $program.1.gz: $warnings"
    check_documented "$unpacked/usr/bin/$program" "$page" "_${program//-/_}"
done
echo "man --warnings: no warnings; every option of --help is in the man pages and the completion"

if [ "$(id -u)" -eq 0 ] && [ "${ZV_PKG_INSTALL:-1}" != 0 ]; then
    dpkg -i "$deb" >/dev/null
    cleanup() { rm -rf "$unpacked"; dpkg -r zurivavave-cli >/dev/null 2>&1 || true; }
    installed=/
    [ "$(man -w zurivavave-cli)" = /usr/share/man/man1/zurivavave-cli.1.gz ] || fail "man does not find the installed page"
else
    installed=$unpacked
fi
packaging/test-completion.sh "$installed"
cli=${installed%/}/usr/bin/zurivavave-cli
boxsim=${installed%/}/usr/bin/zurivavave-boxsim
"$cli" --version | grep -qx "zurivavave-cli $version" || fail "$cli --version"
"$boxsim" --version | grep -qx "zurivavave-boxsim $version" || fail "$boxsim --version"
echo "installed and ran: $("$cli" --version)"

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
