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
# the swap program; a new package makes the updater restart; a read-only install folder is
# refused.
set -euo pipefail
linux=$(realpath "$1")
windows=$(realpath "$2")
work=$(mktemp -d /tmp/varne-e2e.XXXXXX)
pids=()
mounted=""
finish() {
  [ -n "$mounted" ] && umount "$mounted"
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap finish EXIT

# fail <message> [file...]: says what went wrong, shows the files, and ends the test.
fail() {
  echo "$1"
  shift
  [ $# -eq 0 ] || cat -v "$@"
  exit 1
}
# within <command...>: true once the command succeeds, trying for at most 30 seconds.
within() {
  for _ in $(seq 300); do "$@" && return 0; sleep 0.1; done
  "$@"
}
free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}
accepts() { (echo >"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }
wait_port() { within accepts "$1" || fail "nothing listens on port $1"; }
# updater <folder>: runs the updater there on the console, its output in $work/out and $work/err.
updater() {
  (cd "$1" && timeout 120 wine RV7WIN9XME.EXE --console </dev/null >"$work/out" 2>"$work/err")
}
# package <vpk> <port> [file...]: the game's package (the demo skin and the files) whose settings
# name the list on 127.0.0.1:<port>.
package() {
  local content
  content=$(mktemp -d "$work/content.XXXXXX")
  "$linux/bin/varne-demo-skin" "$content" game.exe "http://127.0.0.1:$2/filelist"
  [ $# -le 2 ] || cp "${@:3}" "$content/"
  "$linux/bin/vpk" pack "$content" "$1" >/dev/null
}
# serve <image> <site> <port>: builds the site anew from the image and serves it; its process id
# is left in $served.
serve() {
  rm -rf "$2"
  "$linux/bin/varne-release" build "$1" "$2" --listen "127.0.0.1:$3" >/dev/null
  "$linux/bin/varne-release" serve "$2" --listen "127.0.0.1:$3" >>"$work/serve.log" 2>&1 &
  served=$!
  pids+=("$served")
  wait_port "$3"
}

port=$(free_port)
install=$work/ゲーム/install
image=$work/image
mkdir -p "$install/データ"
package "$install/RV7.VPK" "$port" "$windows/bin/rv7swap_ansi.exe"
cp "$windows/bin/RV7WIN9XME.EXE" "$install/"
printf 'level one' >"$install/データ/表.dat"

# The release: the install with one file changed and one new file in a new folder.
cp -r "$install" "$image"
printf 'level one, patched' >"$image/データ/表.dat"
mkdir -p "$image/新しいフォルダ"
head -c 300000 /dev/urandom >"$image/新しいフォルダ/説明書.txt"
serve "$image" "$work/site" "$port"
server=$served

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
pids+=($!)
settings='HKCU\Software\Microsoft\Windows\CurrentVersion\Internet Settings'
use_proxy() {
  wine reg add "$settings" /v ProxyEnable /t REG_DWORD /d 1 /f >/dev/null 2>&1
  wine reg add "$settings" /v ProxyServer /t REG_SZ /d "$1" /f >/dev/null 2>&1
}
# Each run must have asked the proxy for the list once more than the runs before it.
expect_list_requests() {
  local seen
  seen=$(grep -c "GET http://127.0.0.1:$port/filelist HTTP/" "$work/tinyproxy.log" || true)
  [ "$seen" -eq "$1" ] ||
    fail "tinyproxy saw $seen list requests, not $1, with ProxyServer $2:" "$work/tinyproxy.log"
}
wait_port "$proxy_port"
use_proxy "ftp=127.0.0.1:1;http=127.0.0.1:$proxy_port"

status=0
updater "$install" || status=$?
diff -r "$image" "$install" >"$work/diff" || status="$status, and the install differs"
[ "$status" = 0 ] ||
  fail "RV7WIN9XME.EXE ended with $status:" "$work/diff" "$work/out" "$work/err"
tail -n 3 "$work/err"
echo "updated under Wine: the install is identical to the release"
expect_list_requests 1 "http=..."
use_proxy "127.0.0.1:$proxy_port"
updater "$install"
expect_list_requests 2 "a bare address"
wine reg add "$settings" /v ProxyEnable /t REG_DWORD /d 0 /f >/dev/null 2>&1
echo "the registry's proxy carried both runs"

mkdir "$work/empty"
cp "$windows/bin/RV7WIN9XME.EXE" "$work/empty/"
(cd "$work/empty" && LANG=C.UTF-8 timeout 60 script -qec "wine RV7WIN9XME.EXE --console" \
  /dev/null </dev/null >"$work/terminal" 2>&1) || true
grep -q 'エラーが発生しました。' "$work/terminal" ||
  fail "the console did not show the Japanese error text:" "$work/terminal"
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
  diff -r "$exchange/reference" "$exchange/$side" >"$work/diff" ||
    fail "what the $side vpk extracted from the other's package differs:" "$work/diff"
done
[ -n "$(ls "$exchange/reference")" ] || fail "nothing was extracted"
echo "vpk.exe and the Linux vpk read each other's packages byte for byte"

# varne-release.exe builds a site from the image below the Japanese-named folder into another one:
# its list is the Linux tool's, byte for byte.
(cd "$work" && wine "$windows/bin/varne-release.exe" build "$(winepath -w "$image")" \
  "$(winepath -w "$work/ゲーム")\\サイト" --listen "127.0.0.1:$port" >"$work/out" 2>&1) ||
  fail "varne-release.exe failed:" "$work/out"
cmp "$work/site/filelist" "$work/ゲーム/サイト/filelist" ||
  fail "varne-release.exe listed the image otherwise than the Linux varne-release"
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
pids+=($!)
wait_port "$cut_port"
status=0
(cd "$work/ゲーム" && wine "$windows/bin/varne-fetch.exe" "http://127.0.0.1:$cut_port/filelist" \
  -o 一部.txt >"$work/out" 2>&1) || status=$?
if [ "$status" -ne 1 ] || [ ! -e "$work/cut-sent" ] || [ -e "$work/ゲーム/一部.txt" ]; then
  fail "varne-fetch.exe left a cut document behind (status $status):" "$work/out"
fi
echo "varne-fetch.exe removes a cut document"

# The updater replaced, below the Japanese-named folder: the release's new RV7WIN9XME.EXE goes in
# through the swap program, which waits for the updater to end; no "RV7WIN9XME.SWAP" is left.
# Serves the image again after a change.
republish() {
  kill "$server"
  wait "$server" 2>/dev/null || true
  serve "$image" "$work/site" "$port"
  server=$served
}
printf 'next build' >>"$image/RV7WIN9XME.EXE"
republish
updater "$install"
swapped() {
  [ ! -e "$install/RV7WIN9XME.SWAP" ] && cmp -s "$image/RV7WIN9XME.EXE" "$install/RV7WIN9XME.EXE"
}
within swapped || { ls -l "$install"; fail "the updater was not replaced"; }
echo "the swap program put the new RV7WIN9XME.EXE in place"

# The package replaced: the updater starts itself again, and only the new copy, which has read the
# new package, knows of the second release that the new package names.
second_port=$(free_port)
mkdir -p "$work/second-image"
printf 'read the new package' >"$work/second-image/証明.txt"
serve "$work/second-image" "$work/second-site" "$second_port"
rm "$image/RV7.VPK"
package "$image/RV7.VPK" "$second_port"
republish
updater "$install"
proved() { [ "$(cat "$install/証明.txt" 2>/dev/null)" = 'read the new package' ]; }
if ! grep -q 'アップデータが更新されました。' "$work/out" || ! within proved; then
  ls -l "$install"
  fail "the updater did not restart with the new package:" "$work/out" "$work/err"
fi
echo "after the package was replaced the restarted updater read the new one"

# A folder the updater cannot write is refused at start-up. Wine keeps no read-only attribute on
# folders, and permission bits do not stop root, so the folder is mounted read-only over itself
# (where mounting is allowed). A second copy and the running game are the Windows window test's.
locked=$work/read-only
mkdir "$locked"
package "$locked/RV7.VPK" "$port"
cp "$windows/bin/RV7WIN9XME.EXE" "$locked/"
read_only_text='インストールフォルダが読み込み専用フォルダになっているため'
refused() {
  local status=0
  updater "$locked" || status=$?
  [ "$status" -eq 1 ] && grep -q "$read_only_text" "$work/out" "$work/err" ||
    fail "a read-only install folder was not refused (status $status):" "$work/out" "$work/err"
  echo "a read-only install folder was refused"
}
if mount --bind "$locked" "$locked" 2>/dev/null; then
  mounted=$locked
  mount -o remount,bind,ro "$locked"
  refused
  umount "$locked" && mounted=""
elif [ "$(id -u)" -ne 0 ]; then
  chmod a-w "$locked"
  refused
  chmod u+w "$locked"
else
  echo "a read-only folder is not tried: root may neither mount here nor be stopped by chmod"
fi
