#!/usr/bin/env bash
# Builds the installable packages and checks them:
#   - a Debian package (zurivavave-cli, zurivavave-boxsim, their man pages)
#     from a native release build; it is installed with dpkg -i (as root;
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
cmake -S . -B "$native" -DCMAKE_BUILD_TYPE=Release -DZV_BUILD_TESTS=OFF -DZV_MAN_PAGES=ON >/dev/null
cmake --build "$native" -j"$jobs"
(cd "$native" && cpack -G DEB -B "$out" >/dev/null)
deb=$(ls -t "$out"/zurivavave-cli_"$version"_*.deb 2>/dev/null | head -1)
[ -f "$deb" ] || fail "no .deb in $out"
echo "$deb"

contents=$(dpkg-deb -c "$deb")
for f in ./usr/bin/zurivavave-cli ./usr/bin/zurivavave-boxsim \
         ./usr/share/man/man1/zurivavave-cli.1.gz ./usr/share/man/man1/zurivavave-boxsim.1.gz; do
    grep -q " $f\$" <<<"$contents" || fail "$f missing from $deb"
done
[ "$(dpkg-deb -f "$deb" Package)" = zurivavave-cli ] || fail "package name"
[ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "package version"
dpkg-deb -f "$deb" Depends | grep -q libc6 || fail "no library dependencies recorded"

if [ "$(id -u)" -eq 0 ] && [ "${ZV_PKG_INSTALL:-1}" != 0 ]; then
    dpkg -i "$deb" >/dev/null
    trap 'dpkg -r zurivavave-cli >/dev/null 2>&1 || true' EXIT
    cli=/usr/bin/zurivavave-cli
    man=/usr/share/man/man1/zurivavave-cli.1.gz
else
    unpacked=$(mktemp -d)
    trap 'rm -rf "$unpacked"' EXIT
    dpkg -x "$deb" "$unpacked"
    cli=$unpacked/usr/bin/zurivavave-cli
    man=$unpacked/usr/share/man/man1/zurivavave-cli.1.gz
fi
"$cli" --version | grep -qx "zurivavave-cli $version" || fail "$cli --version"
"$cli" --help | grep -q -- --list-ports || fail "$cli --help"
zcat "$man" | grep -q '^\.TH ZURIVAVAVE-CLI "1"' || fail "man page header"
zcat "$man" | grep -q 'list\\-ports' || fail "man page lacks the options"
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
