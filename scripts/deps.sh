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
  clang-format
  libclang-rt-14-dev
  googletest
  libgtest-dev
  libgmock-dev
  libbenchmark-dev
  libssl-dev
  g++-mingw-w64-x86-64-posix
  wine64
  wine
  locales
  nginx-light
  tinyproxy
  curl
  time
  libx11-dev
  xvfb
  xauth
  libgtk-3-dev
  xdotool
  x11-utils
  fonts-ipafont-gothic
  imagemagick
  # The block-update benchmark: its references (run beside the updater, never linked or read) and
  # the keystream of its test files.
  zsync
  casync
  openssl
)

# The Japanese locale, for the Windows tests' file names and messages under Wine.
japanese_locale() {
  locale -a 2>/dev/null | grep -qix 'ja_JP.utf8' && return 0
  local sudo=()
  [ "$(id -u)" -eq 0 ] || sudo=(sudo)
  "${sudo[@]}" localedef -i ja_JP -f UTF-8 ja_JP.UTF-8
}

missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' || missing+=("$package")
done
if [ ${#missing[@]} -eq 0 ]; then
  japanese_locale
  exit 0
fi

sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
echo "installing: ${missing[*]}"
"${sudo[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
japanese_locale
