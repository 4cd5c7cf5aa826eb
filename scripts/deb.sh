#!/usr/bin/env bash
# Builds the Debian package in one command and checks it with lintian:
#   bash scripts/deb.sh [build-dir]      (default build-deb/; writes build-dir/quarnel_*_amd64.deb)
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh
qn_ensure_deps || { echo "could not install the build dependencies" >&2; exit 1; }
dir=${1:-build-deb}
cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Release -DQN_BENCH=OFF > /dev/null
cmake --build "$dir" -j2 --target quarnzip quarnunzip qn_install_files
(cd "$dir" && cpack -G DEB)
deb=$(ls "$dir"/quarnel_*_amd64.deb)
lintian --fail-on error "$deb"
echo "$deb: install it with dpkg -i"
