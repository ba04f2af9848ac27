#!/usr/bin/env bash
# The main command: installs what is missing, builds everything and lists the programs built.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
scripts/build.sh build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
echo "built in build/bin:"
find build/bin -maxdepth 1 -type f -perm -u+x -printf '  %f\n' | sort
