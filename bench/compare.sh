#!/usr/bin/env bash
# compare.sh: quarnzip and quarnunzip beside gzip, bzip2, xz and zstd, in one run.
#
# Usage: bench/compare.sh [ratio|decode] [BUILD_DIR] [RUNS]
#   ratio   (default) size, compression and decompression speed of quarnzip -1/-6/-9 and
#           --bwt 1 beside gzip -9, bzip2 -9, xz -6, xz -9 and zstd -19 on the /usr/include tar
#   decode  decompression only, on both corpora: medians of RUNS (default 3) alternating runs
#           of wall and CPU time for quarnunzip (plain: quarnzip -9; block: quarnzip --bwt 1)
#           beside xz -d (xz -9), bzip2 -d (bzip2 -9) and zstd -d (zstd -19)
#   BUILD_DIR  where quarnzip and quarnunzip were built (default: build)
#   With BEFORE=DIR in the environment, decode also times DIR/quarnunzip on the same archives
#   (an earlier build, for a before-and-after table).
# Corpora, made in a temporary directory: a tar of /usr/include, and a tar of the shared
# libraries under /usr/lib/x86_64-linux-gnu (one name per file, in name order, up to 150 MB).
# Every round trip is checked byte for byte. quarnunzip extracts to files; the other tools
# write to /dev/null. CPU time is user + system of all threads.
set -euo pipefail

MODE=ratio
case ${1:-} in ratio | decode) MODE=$1; shift ;; esac
BUILD=$(cd "${1:-build}" && pwd)
RUNS=${2:-3}
ZIP=$BUILD/quarnzip
UNZIP=$BUILD/quarnunzip
for p in "$ZIP" "$UNZIP"; do
  [[ -x $p ]] || { echo "missing $p (build quarnzip and quarnunzip first)" >&2; exit 1; }
done

WORK=$(mktemp -d /tmp/qn_bench.XXXXXX)
trap 'rm -rf "$WORK"' EXIT
cd "$WORK"
echo "language=2" > qn.ini

includeTar() { tar -cf "$1" -C /usr include 2>/dev/null || true; }
librariesTar() {
  python3 - "$1" <<'EOF'
import os, sys, tarfile
root, files, seen, total = "/usr/lib/x86_64-linux-gnu", [], set(), 0
for d, _, names in os.walk(root):
    for n in names:
        p = os.path.join(d, n)
        if ".so" in n and os.path.isfile(p) and not os.path.islink(p):
            files.append(p)
with tarfile.open(sys.argv[1], "w", format=tarfile.GNU_FORMAT) as t:
    for p in sorted(files):
        st = os.stat(p)
        if st.st_ino in seen or total + st.st_size > 150_000_000:
            continue
        seen.add(st.st_ino)
        total += st.st_size
        t.add(p, arcname=p.lstrip("/"))
EOF
}

# timed CMD...: runs CMD, sets CPU (user + sys seconds) and WALL.
timed() {
  /usr/bin/time -o run.time -f "%U %S %e" "$@" > /dev/null 2> run.err || { cat run.err >&2; return 1; }
  CPU=$(awk '{printf "%.2f", $1 + $2}' run.time)
  WALL=$(awk '{printf "%.2f", $3}' run.time)
}

check() {  # file holding the round trip, label
  [[ $(sha256sum < "$1") == "$SUM" ]] || { echo "round trip of $2 differs" >&2; exit 1; }
}

header() {
  local cxx
  cxx=$(sed -n 's/^CMAKE_CXX_COMPILER:[A-Z]*=//p' "$BUILD/CMakeCache.txt")
  printf "CPU: %s, %s cores; compiler: %s, %s build\n" \
    "$(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//')" "$(nproc)" \
    "$("${cxx:-c++}" --version | head -1)" "$(sed -n 's/^CMAKE_BUILD_TYPE:[A-Z]*=//p' "$BUILD/CMakeCache.txt")"
}

# ---- ratio: one corpus, every tool's size and speed ----

ratio() {
  includeTar corpus.tar
  SIZE=$(stat -c %s corpus.tar)
  SUM=$(sha256sum < corpus.tar)
  header
  printf "corpus: tar of /usr/include, %d bytes\n" "$SIZE"
  printf "%-22s %12s %8s %9s %9s %8s %8s\n" tool bytes ratio "C MB/s" "D MB/s" "C wall" "D wall"
  row() {  # name, compressed bytes, compress cpu, compress wall, decompress cpu, decompress wall
    awk -v n="$1" -v c="$2" -v s="$SIZE" -v cc="$3" -v cw="$4" -v dc="$5" -v dw="$6" 'BEGIN {
      printf "%-22s %12d %7.2f%% %9.2f %9.2f %8.1f %8.1f\n", n, c, 100 * c / s,
             s / 1e6 / (cc > 0 ? cc : 0.01), s / 1e6 / (dc > 0 ? dc : 0.01), cw, dw }'
  }
  quarn() {  # label, quarnzip options...
    local label=$1; shift
    rm -rf a.qn* out x.xml
    timed "$ZIP" "$@" a.qn corpus.tar; local cc=$CPU cw=$WALL
    local bytes=$(cat a.qn* | wc -c)
    timed "$UNZIP" a.qn x.xml out; local dc=$CPU dw=$WALL
    check out/corpus.tar "$label"
    row "$label" "$bytes" "$cc" "$cw" "$dc" "$dw"
  }
  other() {  # label, compress command, decompress command (stdin to stdout)
    timed sh -c "$2 < corpus.tar > c.out"; local cc=$CPU cw=$WALL
    timed sh -c "$3 < c.out > d.out"; local dc=$CPU dw=$WALL
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
}

# ---- decode: both corpora, medians of alternating runs ----

median() { sort -g | awk '{v[NR] = $1} END {print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2}'; }

decodeCorpus() {  # label, tar file
  local label=$1 tar=$2
  SIZE=$(stat -c %s "$tar")
  SUM=$(sha256sum < "$tar")
  local names=(quarnunzip-plain quarnunzip-block "xz -d" "bzip2 -d" "zstd -d")
  [[ -n ${BEFORE:-} ]] && names+=("before: plain" "before: block")
  rm -rf a.qn* b.qn*
  "$ZIP" -9 a.qn "$tar" > /dev/null
  "$ZIP" --bwt 1 b.qn "$tar" > /dev/null
  xz -9 -T1 -c "$tar" > c.xz
  bzip2 -9 -c "$tar" > c.bz2
  zstd -19 -q -c "$tar" > c.zst
  local sizes=("$(cat a.qn* | wc -c)" "$(cat b.qn* | wc -c)" "$(stat -c %s c.xz)" "$(stat -c %s c.bz2)" \
               "$(stat -c %s c.zst)")
  sizes+=("${sizes[0]}" "${sizes[1]}")
  xz -d < c.xz > d.out && check d.out "xz -d"  # the others' round trips, once
  bzip2 -d < c.bz2 > d.out && check d.out "bzip2 -d"
  zstd -d -q < c.zst > d.out && check d.out "zstd -d"
  rm -f d.out
  local -A wall cpu
  for ((r = 0; r < RUNS; ++r)); do
    for i in "${!names[@]}"; do
      case $i in
        0) rm -rf out; timed "$UNZIP" a.qn x.xml out; check "out/$(basename "$tar")" "${names[0]}" ;;
        1) rm -rf out; timed "$UNZIP" b.qn x.xml out; check "out/$(basename "$tar")" "${names[1]}" ;;
        2) timed sh -c "xz -d < c.xz > /dev/null" ;;
        3) timed sh -c "bzip2 -d < c.bz2 > /dev/null" ;;
        4) timed sh -c "zstd -d -q < c.zst > /dev/null" ;;
        5) rm -rf out; timed "$BEFORE/quarnunzip" a.qn x.xml out; check "out/$(basename "$tar")" "${names[5]}" ;;
        6) rm -rf out; timed "$BEFORE/quarnunzip" b.qn x.xml out; check "out/$(basename "$tar")" "${names[6]}" ;;
      esac
      wall[$i]+="$WALL "
      cpu[$i]+="$CPU "
    done
  done
  printf "\n%s (%d bytes), medians of %d runs\n" "$label" "$SIZE" "$RUNS"
  printf "%-18s %12s %8s %8s\n" tool archive "wall s" "CPU s"
  for i in "${!names[@]}"; do
    printf "%-18s %12d %8.2f %8.2f\n" "${names[$i]}" "${sizes[$i]}" \
      "$(tr ' ' '\n' <<<"${wall[$i]}" | grep . | median)" "$(tr ' ' '\n' <<<"${cpu[$i]}" | grep . | median)"
  done
}

decode() {
  header
  includeTar include.tar
  decodeCorpus "tar of /usr/include" include.tar
  rm -f include.tar
  librariesTar libraries.tar
  decodeCorpus "tar of shared libraries" libraries.tar
}

"$MODE"
