#!/usr/bin/env bash
# updater_e2e.sh <linux-build> <windows-build>: the Windows updater end to end under Wine (in the
# WINEPREFIX of the caller). RV7WIN9XME.EXE --console updates an install below a folder with a
# Japanese name from a release that the Linux varne-release serves on 127.0.0.1: a changed file
# and a new file in a new folder, both with Japanese names, must be installed byte for byte, and
# the run must say so. The requests go through a tinyproxy on 127.0.0.1 that the user's registry
# settings name ("http=" form first, then a bare address on a second run). Then, on a terminal
# (Wine's console), a folder without its package must show the Japanese error text. Then vpk.exe
# and the Linux vpk read each other's packages byte for byte, and varne-release.exe lists the image
# as the Linux tool does, and varne-fetch.exe removes a cut document; a new updater goes in through
# the swap program; a new package makes the updater restart; a second copy in one folder is
# refused, and a killed copy never blocks the next start; the game running with its window and a
# read-only install folder are refused.
set -euo pipefail
linux=$(realpath "$1")
windows=$(realpath "$2")
work=$(mktemp -d /tmp/varne-e2e.XXXXXX)
server=""
second=""
proxy=""
silent=""
cut=""
mounted=""
finish() {
  [ -n "$mounted" ] && umount "$mounted"
  [ -n "$silent" ] && kill "$silent" 2>/dev/null
  [ -n "$cut" ] && kill "$cut" 2>/dev/null
  [ -n "$server" ] && kill "$server" 2>/dev/null
  [ -n "$second" ] && kill "$second" 2>/dev/null
  [ -n "$proxy" ] && kill "$proxy" 2>/dev/null
  rm -rf "$work"
}
trap finish EXIT

free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}
wait_port() {
  for _ in $(seq 100); do
    (echo >"/dev/tcp/127.0.0.1/$1") 2>/dev/null && return 0
    sleep 0.1
  done
  echo "nothing listens on port $1"
  return 1
}
port=$(free_port)
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

# The user's proxy, as Windows keeps it, in front of the server.
proxy_port=$(free_port)
cat >"$work/tinyproxy.conf" <<CONF
Port $proxy_port
Listen 127.0.0.1
Allow 127.0.0.1
LogFile "$work/tinyproxy.log"
LogLevel Info
User $(id -un)
Group $(id -gn)
CONF
tinyproxy -d -c "$work/tinyproxy.conf" >/dev/null 2>&1 &
proxy=$!
settings='HKCU\Software\Microsoft\Windows\CurrentVersion\Internet Settings'
use_proxy() {
  wine reg add "$settings" /v ProxyEnable /t REG_DWORD /d 1 /f >/dev/null 2>&1
  wine reg add "$settings" /v ProxyServer /t REG_SZ /d "$1" /f >/dev/null 2>&1
}
# Each run must have asked the proxy for the list once more than the runs before it.
expect_list_requests() {
  local seen
  seen=$(grep -c "GET http://127.0.0.1:$port/filelist HTTP/" "$work/tinyproxy.log" || true)
  if [ "$seen" -ne "$1" ]; then
    echo "tinyproxy saw $seen list requests, not $1, with ProxyServer $2:"
    cat "$work/tinyproxy.log"
    exit 1
  fi
}
wait_port "$proxy_port"
use_proxy "ftp=127.0.0.1:1;http=127.0.0.1:$proxy_port"

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
expect_list_requests 1 "http=..."
use_proxy "127.0.0.1:$proxy_port"
(cd "$install" && timeout 120 wine RV7WIN9XME.EXE --console </dev/null >"$work/out" 2>"$work/err")
expect_list_requests 2 "a bare address"
wine reg add "$settings" /v ProxyEnable /t REG_DWORD /d 0 /f >/dev/null 2>&1
echo "the registry's proxy carried both runs"

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

# Packages cross between the systems: what each side extracts from the other's package is what the
# Linux vpk extracts from its own (names in packages are kept in lower case), byte for byte.
exchange=$work/exchange
mkdir -p "$exchange/reference" "$exchange/linux" "$exchange/windows"
(cd "$exchange" && wine "$windows/bin/vpk.exe" pack "$(winepath -w "$image")" windows.vpk >/dev/null)
"$linux/bin/vpk" pack "$image" "$exchange/linux.vpk" >/dev/null
"$linux/bin/vpk" extract "$exchange/linux.vpk" "$exchange/reference" >/dev/null
"$linux/bin/vpk" extract "$exchange/windows.vpk" "$exchange/linux" >/dev/null
(cd "$exchange" && wine "$windows/bin/vpk.exe" extract linux.vpk windows >/dev/null)
for side in linux windows; do
  if ! diff -r "$exchange/reference" "$exchange/$side" >"$work/diff"; then
    echo "what the $side vpk extracted from the other's package differs:"
    cat "$work/diff"
    exit 1
  fi
done
[ -n "$(ls "$exchange/reference")" ] || { echo "nothing was extracted"; exit 1; }
echo "vpk.exe and the Linux vpk read each other's packages byte for byte"

# varne-release.exe builds a site from the image below the Japanese-named folder into another one:
# its list is the Linux tool's, byte for byte.
(cd "$work" && wine "$windows/bin/varne-release.exe" build "$(winepath -w "$image")" \
  "$(winepath -w "$work/ゲーム")\\サイト" --listen "127.0.0.1:$port" >"$work/out" 2>&1) ||
  { echo "varne-release.exe failed:"; cat "$work/out"; exit 1; }
if ! cmp "$work/site/filelist" "$work/ゲーム/サイト/filelist"; then
  echo "varne-release.exe listed the image otherwise than the Linux varne-release"
  exit 1
fi
echo "varne-release.exe lists Japanese names below a Japanese folder as on Linux"

# varne-fetch.exe removes what it wrote of a document cut short, under a Japanese name too.
cut_port=$(free_port)
python3 -c '
import socket, sys
server = socket.create_server(("127.0.0.1", int(sys.argv[1])))
while True:
    connection, _ = server.accept()
    if connection.recv(65536):
        connection.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\nonly part")
        open(sys.argv[2], "w").close()
    connection.close()
' "$cut_port" "$work/cut-sent" &
cut=$!
wait_port "$cut_port"
status=0
(cd "$work/ゲーム" && wine "$windows/bin/varne-fetch.exe" "http://127.0.0.1:$cut_port/filelist" \
  -o 一部.txt >"$work/out" 2>&1) || status=$?
if [ "$status" -ne 1 ] || [ ! -e "$work/cut-sent" ] || [ -e "$work/ゲーム/一部.txt" ]; then
  echo "varne-fetch.exe left a cut document behind (status $status):"
  cat "$work/out"
  exit 1
fi
kill "$cut" && cut=""
echo "varne-fetch.exe removes a cut document"

# The updater replaced, below the Japanese-named folder: the release's new RV7WIN9XME.EXE goes in
# through the swap program, which waits for the updater to end; no "RV7WIN9XME.SWAP" is left.
# Serves the image again after a change, from a site built anew.
republish() {
  kill "$server"
  wait "$server" 2>/dev/null || true
  rm -rf "$work/site"
  "$linux/bin/varne-release" build "$image" "$work/site" --listen "127.0.0.1:$port" >/dev/null
  "$linux/bin/varne-release" serve "$work/site" --listen "127.0.0.1:$port" >"$work/serve.log" 2>&1 &
  server=$!
  wait_port "$port"
}
printf 'next build' >>"$image/RV7WIN9XME.EXE"
republish
(cd "$install" && timeout 120 wine RV7WIN9XME.EXE --console </dev/null >"$work/out" 2>"$work/err")
swapped() {
  [ ! -e "$install/RV7WIN9XME.SWAP" ] && cmp -s "$image/RV7WIN9XME.EXE" "$install/RV7WIN9XME.EXE"
}
for _ in $(seq 300); do swapped && break; sleep 0.1; done
if ! swapped; then
  echo "the updater was not replaced:"
  ls -l "$install"
  exit 1
fi
echo "the swap program put the new RV7WIN9XME.EXE in place"

# The package replaced: the updater starts itself again, and only the new copy, which has read the
# new package, knows of the second release that the new package names.
second_port=$(free_port)
mkdir -p "$work/second-image" "$work/content3"
printf 'read the new package' >"$work/second-image/証明.txt"
"$linux/bin/varne-release" build "$work/second-image" "$work/second-site" \
  --listen "127.0.0.1:$second_port" >/dev/null
"$linux/bin/varne-release" serve "$work/second-site" --listen "127.0.0.1:$second_port" \
  >"$work/second.log" 2>&1 &
second=$!
"$linux/bin/varne-demo-skin" "$work/content3" game.exe "http://127.0.0.1:$second_port/filelist"
rm "$image/RV7.VPK"
"$linux/bin/vpk" pack "$work/content3" "$image/RV7.VPK" >/dev/null
republish
wait_port "$second_port"
(cd "$install" && timeout 120 wine RV7WIN9XME.EXE --console </dev/null >"$work/out" 2>"$work/err")
proved() { [ "$(cat "$install/証明.txt" 2>/dev/null)" = 'read the new package' ]; }
for _ in $(seq 300); do proved && break; sleep 0.1; done
if ! grep -q 'アップデータが更新されました。' "$work/out" || ! proved; then
  echo "the updater did not restart with the new package:"
  cat "$work/out" "$work/err"
  ls -l "$install"
  exit 1
fi
echo "after the package was replaced the restarted updater read the new one"

# One copy per install folder: while a copy waits on a server that never answers, a second copy
# ends at once without asking the server; a copy killed outright leaves nothing that blocks the
# next start, which asks the server again.
silent_port=$(free_port)
python3 -c '
import socket, sys, time
server = socket.create_server(("127.0.0.1", int(sys.argv[1])))
open(sys.argv[2] + ".ready", "w").close()
held = []
while True:
    connection, _ = server.accept()
    held.append(connection)
    with open(sys.argv[2], "a") as log:
        log.write("accepted\n")
' "$silent_port" "$work/silent.log" &
silent=$!
for _ in $(seq 100); do [ -e "$work/silent.log.ready" ] && break; sleep 0.1; done
single=$work/single
mkdir -p "$single" "$work/content2"
"$linux/bin/varne-demo-skin" "$work/content2" game.exe "http://127.0.0.1:$silent_port/filelist"
"$linux/bin/vpk" pack "$work/content2" "$single/RV7.VPK" >/dev/null
cp "$windows/bin/RV7WIN9XME.EXE" "$single/"
accepted() { [ "$(cat "$work/silent.log" 2>/dev/null | wc -l)" -ge "$1" ]; }
(cd "$single" && exec wine RV7WIN9XME.EXE --console </dev/null >"$work/first" 2>&1) &
first=$!
for _ in $(seq 300); do accepted 1 && break; sleep 0.1; done
accepted 1 || { echo "the first copy never asked the server"; cat "$work/first"; exit 1; }
(cd "$single" && timeout 60 wine RV7WIN9XME.EXE --console </dev/null >"$work/second" 2>&1) || true
sleep 1
if accepted 2; then
  echo "a second copy in the same folder ran:"
  cat "$work/second"
  exit 1
fi
echo "a second copy ended without a run"
kill -9 "$first" 2>/dev/null || true
wait "$first" 2>/dev/null || true
(cd "$single" && exec wine RV7WIN9XME.EXE --console </dev/null >"$work/third" 2>&1) &
third=$!
for _ in $(seq 300); do accepted 2 && break; sleep 0.1; done
kill -9 "$third" 2>/dev/null || true
wait "$third" 2>/dev/null || true
accepted 2 || { echo "after a killed copy the next start did not run:"; cat "$work/third"; exit 1; }
echo "after a killed copy the next start runs"

# Refusals at start-up, before any request: an install whose list the silent server would hold.
refusal_install() {
  mkdir -p "$1"
  cp "$single/RV7.VPK" "$windows/bin/RV7WIN9XME.EXE" "$1/"
}
expect_refusal() {  # <folder> <status> <text> <what>
  local status=0
  (cd "$1" && timeout 60 wine RV7WIN9XME.EXE --console </dev/null >"$work/out" 2>&1) || status=$?
  if [ "$status" -ne "$2" ] || ! grep -q "$3" "$work/out"; then
    echo "$4 was not refused (status $status):"
    cat "$work/out"
    exit 1
  fi
  echo "$4 was refused"
}

# The game running from the install, with a top-level window: the updater tells the user to end it.
if [ -n "${DISPLAY:-}" ]; then
  game=$work/game
  refusal_install "$game"
  cp "$windows/bin/sample_window_game.exe" "$game/game.exe"
  (cd "$game" && exec wine game.exe --stay 60 </dev/null >/dev/null 2>&1) &
  game_process=$!
  for _ in $(seq 300); do
    xdotool search --name '^Sample Game$' >/dev/null 2>&1 && break
    sleep 0.1
  done
  expect_refusal "$game" 2 'アップデートする際はゲームを終了してください。' "the running game"
  kill "$game_process" 2>/dev/null || true
  wait "$game_process" 2>/dev/null || true
else
  echo "the running game is not tried: Wine shows no window without a display"
fi

# A folder the updater cannot write. Wine keeps no read-only attribute on folders, and permission
# bits do not stop root, so the folder is mounted read-only over itself (where mounting is allowed).
locked=$work/read-only
refusal_install "$locked"
if mount --bind "$locked" "$locked" 2>/dev/null; then
  mounted=$locked
  mount -o remount,bind,ro "$locked"
  expect_refusal "$locked" 1 'インストールフォルダが読み込み専用フォルダになっているため' \
    "a read-only install folder"
  umount "$locked" && mounted=""
elif [ "$(id -u)" -ne 0 ]; then
  chmod a-w "$locked"
  expect_refusal "$locked" 1 'インストールフォルダが読み込み専用フォルダになっているため' \
    "a read-only install folder"
  chmod u+w "$locked"
else
  echo "a read-only folder is not tried: root may neither mount here nor be stopped by chmod"
fi
