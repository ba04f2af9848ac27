#!/usr/bin/env bash
# updater_e2e.sh <linux-build> <windows-build>: the Windows updater end to end under Wine (in the
# WINEPREFIX of the caller). RV7WIN9XME.EXE --console updates an install below a folder with a
# Japanese name from a release that the Linux varne-release serves on 127.0.0.1: a changed file
# and a new file in a new folder, both with Japanese names, must be installed byte for byte, and
# the run must say so. Then, on a terminal (Wine's console), a folder without its package must
# show the Japanese error text.
set -euo pipefail
linux=$(realpath "$1")
windows=$(realpath "$2")
work=$(mktemp -d /tmp/varne-e2e.XXXXXX)
server=""
finish() {
  [ -n "$server" ] && kill "$server" 2>/dev/null
  rm -rf "$work"
}
trap finish EXIT

port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
install=$work/ゲーム/install
image=$work/image
mkdir -p "$install/データ" "$work/content"
"$linux/bin/varne-demo-skin" "$work/content" game.exe "http://127.0.0.1:$port/filelist"
cp "$windows/bin/rv7swap_ansi.exe" "$work/content/"
"$linux/bin/vpk" pack "$work/content" "$install/RV7.VPK" >/dev/null
cp "$windows/bin/RV7WIN9XME.EXE" "$install/"
printf 'level one' >"$install/データ/表.dat"

# The release: the install with one file changed and one new file in a new folder.
cp -r "$install" "$image"
printf 'level one, patched' >"$image/データ/表.dat"
mkdir -p "$image/新しいフォルダ"
head -c 300000 /dev/urandom >"$image/新しいフォルダ/説明書.txt"
"$linux/bin/varne-release" build "$image" "$work/site" --listen "127.0.0.1:$port" >/dev/null
"$linux/bin/varne-release" serve "$work/site" --listen "127.0.0.1:$port" >"$work/serve.log" 2>&1 &
server=$!

status=0
(cd "$install" && timeout 120 wine RV7WIN9XME.EXE --console </dev/null >"$work/out" 2>"$work/err") ||
  status=$?
failed=0
if [ "$status" -ne 0 ]; then
  echo "RV7WIN9XME.EXE ended with $status"
  failed=1
fi
if ! diff -r "$image" "$install" >"$work/diff"; then
  echo "the install differs from the release:"
  cat "$work/diff"
  failed=1
fi
if [ "$failed" -ne 0 ]; then
  echo "--- standard output:"; cat "$work/out"
  echo "--- standard error:"; cat "$work/err"
  exit 1
fi
tail -n 3 "$work/err"
echo "updated under Wine: the install is identical to the release"

mkdir "$work/empty"
cp "$windows/bin/RV7WIN9XME.EXE" "$work/empty/"
(cd "$work/empty" && LANG=C.UTF-8 timeout 60 script -qec "wine RV7WIN9XME.EXE --console" \
  /dev/null </dev/null >"$work/terminal" 2>&1) || true
if ! grep -q 'エラーが発生しました。' "$work/terminal"; then
  echo "the console did not show the Japanese error text:"
  cat -v "$work/terminal"
  exit 1
fi
echo "the console shows the Japanese error text"
