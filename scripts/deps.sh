#!/usr/bin/env bash
# Installs the Debian packages that the build, the tests and the benchmarks need. Idempotent: when
# everything is there it only checks, quietly.
set -euo pipefail

packages=(
  cmake
  ccache
  ninja-build
  g++
  clang
  libclang-rt-14-dev
  googletest
  libgtest-dev
  libgmock-dev
  libbenchmark-dev
  libssl-dev
  g++-mingw-w64-x86-64-posix
  nginx-light
  tinyproxy
  curl
  time
  libx11-dev
  xvfb
  xauth
  libgtk-3-dev
  xdotool
  openbox
  fonts-ipafont-gothic
  imagemagick
)

missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' || missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
echo "installing: ${missing[*]}"
"${sudo[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
