#!/usr/bin/env bash
# compare.sh: ratio and speed of quarnzip (levels 1, 6, 9 and block mode) beside gzip -9,
# bzip2 -9, xz -6, xz -9 and zstd -19 on one corpus, in one run.
#
# Usage: bench/compare.sh [BUILD_DIR] [SOURCE_DIR]
#   BUILD_DIR   where quarnzip and quarnunzip were built (default: build)
#   SOURCE_DIR  the tree to tar as the corpus (default: /usr/include)
# The corpus is a tar of SOURCE_DIR made in a temporary directory. Every round trip is
# checked byte for byte. Speeds are decimal MB of the corpus per second of CPU time (user +
# system, all threads), so that a busy machine disturbs them less; wall seconds are shown too.
set -euo pipefail

BUILD=$(cd "${1:-build}" && pwd)
SRC=${2:-/usr/include}
ZIP=$BUILD/quarnzip
UNZIP=$BUILD/quarnunzip
for p in "$ZIP" "$UNZIP"; do
  [[ -x $p ]] || { echo "missing $p (build quarnzip and quarnunzip first)" >&2; exit 1; }
done

WORK=$(mktemp -d /tmp/qn_bench.XXXXXX)
trap 'rm -rf "$WORK"' EXIT
cd "$WORK"
echo "language=2" > qn.ini
tar -cf corpus.tar -C "$(dirname "$SRC")" "$(basename "$SRC")" 2>/dev/null || true
SIZE=$(stat -c %s corpus.tar)
SUM=$(sha256sum < corpus.tar)

# cpu_time CMD...: runs CMD, sets CPU (user + sys seconds) and WALL.
cpu_time() {
  /usr/bin/time -o run.time -f "%U %S %e" "$@" > /dev/null 2> run.err || { cat run.err >&2; return 1; }
  CPU=$(awk '{printf "%.2f", $1 + $2}' run.time)
  WALL=$(awk '{printf "%.2f", $3}' run.time)
}

row() {  # name, compressed bytes, compress cpu, compress wall, decompress cpu, decompress wall
  awk -v n="$1" -v c="$2" -v s="$SIZE" -v cc="$3" -v cw="$4" -v dc="$5" -v dw="$6" 'BEGIN {
    printf "%-22s %12d %7.2f%% %9.2f %9.2f %8.1f %8.1f\n", n, c, 100 * c / s,
           s / 1e6 / (cc > 0 ? cc : 0.01), s / 1e6 / (dc > 0 ? dc : 0.01), cw, dw }'
}

check() {  # file holding the round trip
  [[ $(sha256sum < "$1") == "$SUM" ]] || { echo "round trip of $2 differs" >&2; exit 1; }
}

printf "corpus: tar of %s, %d bytes; CPU: %s\n" "$SRC" "$SIZE" \
  "$(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//')"
printf "%-22s %12s %8s %9s %9s %8s %8s\n" tool bytes ratio "C MB/s" "D MB/s" "C wall" "D wall"

quarn() {  # label, quarnzip options...
  local label=$1; shift
  rm -rf a.qn* out x.xml
  cpu_time "$ZIP" "$@" a.qn corpus.tar; local cc=$CPU cw=$WALL
  local bytes=$(cat a.qn* | wc -c)
  cpu_time "$UNZIP" a.qn x.xml out; local dc=$CPU dw=$WALL
  check out/corpus.tar "$label"
  row "$label" "$bytes" "$cc" "$cw" "$dc" "$dw"
}

other() {  # label, compress command, decompress command (stdin to stdout)
  cpu_time sh -c "$2 < corpus.tar > c.out"; local cc=$CPU cw=$WALL
  cpu_time sh -c "$3 < c.out > d.out"; local dc=$CPU dw=$WALL
  check d.out "$1"
  row "$1" "$(stat -c %s c.out)" "$cc" "$cw" "$dc" "$dw"
  rm -f c.out d.out
}

quarn "quarnzip -1" -1
quarn "quarnzip -6" -6
quarn "quarnzip -9" -9
quarn "quarnzip -6 --bwt 1" -6 --bwt 1
other "gzip -9" "gzip -9" "gzip -d"
other "bzip2 -9" "bzip2 -9" "bzip2 -d"
other "xz -6" "xz -6 -T1" "xz -d"
other "xz -9" "xz -9 -T1" "xz -d"
other "zstd -19" "zstd -19 -q" "zstd -d -q"
