#!/usr/bin/env bash
# The main command, a demo of one update from end to end: installs what is missing, builds, lays out
# an install of release 1.0 of a small sample game, publishes release 1.1 with varne-release on
# 127.0.0.1, and runs the updater in that install: the skinned window on a desktop (DISPLAY set),
# the terminal front-end without one. When the update is done the updater offers to start the game.
# Everything the demo makes is under build/demo/; run it again to start over from release 1.0.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
echo "building (build/) ..."
scripts/build.sh build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
bin=$PWD/build/bin
demo=$PWD/build/demo

# A port that nothing answers on.
port=18080
while (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; do port=$((port + 1)); done
url="http://127.0.0.1:$port/filelist"

rm -rf "$demo"
mkdir -p "$demo"/install "$demo"/package "$demo"/image/data "$demo"/site

# Release 1.0 as a player has it: the updater, the game, its notes and its package (the skin, the
# layout and the swap program).
cp "$bin/RV7WIN9XME.EXE" "$demo/install/"
cp "$bin/sample_window_game" "$demo/install/game.exe"
printf 'Sample Game 1.0\n' >"$demo/install/sample-game.txt"
"$bin/varne-demo-skin" "$demo/package" game.exe "$url"
cp "$bin/rv7swap_ansi.exe" "$demo/package/"
"$bin/vpk" pack "$demo/package" "$demo/install/RV7.VPK" >/dev/null

# Release 1.1: new notes and a few megabytes of new game data.
cp -r "$demo/install/." "$demo/image/"
printf 'Sample Game 1.1\n\nUpdated by the Varne updater.\n' >"$demo/image/sample-game.txt"
for part in 1 2 3 4; do
  head -c $((3 * 1024 * 1024)) /dev/urandom >"$demo/image/data/stage$part.dat"
done
"$bin/varne-release" build "$demo/image" "$demo/site" --listen "127.0.0.1:$port" >/dev/null

"$bin/varne-release" serve "$demo/site" --listen "127.0.0.1:$port" >"$demo/serve.log" 2>&1 &
server=$!
trap 'kill "$server" 2>/dev/null || true' EXIT
for _ in $(seq 50); do
  (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break
  sleep 0.1
done

echo "release 1.1 served at $url; updating $demo/install (release 1.0)"
status=0
(cd "$demo/install" && ./RV7WIN9XME.EXE) || status=$?
echo "updater ended with status $status; the install now holds: $(head -n 1 "$demo/install/sample-game.txt")"
