#!/usr/bin/env bash
# Installs the Debian packages the build needs. Usage:
#   scripts/install-deps.sh demo   # native build only
#   scripts/install-deps.sh station  # native build, a browser for the board and curl
#   scripts/install-deps.sh test   # everything the full test run needs
#   scripts/install-deps.sh package  # what scripts/package.sh needs
set -euo pipefail

what=${1:-test}
# libboost-dev: Beast and Asio (header-only) for the station's HTTP side,
# natively and, through a link to its headers, in the MinGW build.
pkgs=(cmake g++ make pkg-config libssl-dev libboost-dev)
# chromium (headless) reads the live board and takes its screenshot;
# prometheus gives promtool and a real server scraping the stations; curl
# asks it, and the Windows build's board, from the test scripts.
if [ "$what" = test ]; then
  pkgs+=(googletest libgtest-dev libgmock-dev
         g++-mingw-w64-x86-64-posix wine wine64 fonts-wine xvfb xauth
         socat lrzsz clang libclang-rt-dev imagemagick
         dpkg-dev lintian man-db groff-base bash-completion zip unzip locales systemd
         chromium prometheus curl)
fi
if [ "$what" = station ]; then
  pkgs+=(chromium curl)
fi
if [ "$what" = package ]; then
  # dpkg-dev for dpkg-shlibdeps, lintian to check the .deb, man-db and
  # groff-base to render the man pages, bash-completion to try the
  # completion scripts, systemd for systemd-analyze (the station's unit)
  # and systemd-sysusers (its user, made in the scratch root).
  pkgs+=(g++-mingw-w64-x86-64-posix dpkg-dev lintian man-db groff-base bash-completion zip unzip systemd)
fi

missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
sudo=
[ "$(id -u)" -eq 0 ] || sudo=sudo
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
fi

# The Windows tests run Wine under a UTF-8 locale that is not Korean, as a
# user's system would be: generate it where it is missing.
if [ "$what" = test ] && ! locale -a 2>/dev/null | grep -qix 'en_US.utf8'; then
  echo "Generating the en_US.UTF-8 locale"
  $sudo sed -i 's/^# *\(en_US.UTF-8 UTF-8\)/\1/' /etc/locale.gen
  grep -q '^en_US.UTF-8 UTF-8' /etc/locale.gen || echo 'en_US.UTF-8 UTF-8' | $sudo tee -a /etc/locale.gen >/dev/null
  $sudo locale-gen >/dev/null
fi
