#!/usr/bin/env bash
# compare.sh: quarnzip and quarnunzip beside gzip, bzip2, xz and zstd, in one run.
#
# Usage: bench/compare.sh [ratio|decode] [BUILD_DIR] [RUNS]
#   ratio   (default) on both corpora, medians of RUNS runs: size, CPU and wall time and peak
#           memory of every level of quarnzip (-T1 and block mode too) beside xz -1..-9 -T1,
#           zstd -3/-19 and bzip2 -9; with CSV=FILE the rows also go to FILE, and with
#           PLOT=FILE.png bench/plot.py draws size against CPU time from them
#   decode  decompression only, on both corpora: medians of RUNS (default 3) alternating runs
#           of wall and CPU time for quarnunzip (plain: quarnzip -9; block: quarnzip --bwt 1)
#           beside xz -d (xz -9), bzip2 -d (bzip2 -9) and zstd -d (zstd -19)
#   BUILD_DIR  where quarnzip and quarnunzip were built (default: build)
#   CORPORA=include or CORPORA=libraries runs ratio on that corpus alone.
#   With BEFORE=DIR in the environment, decode also times DIR/quarnunzip on the same archives
#   (an earlier build, for a before-and-after table).
# Corpora, made in a temporary directory: a tar of /usr/include, and a tar of the shared
# libraries under /usr/lib/x86_64-linux-gnu (one name per file, in name order, up to 150 MB).
# Every round trip is checked byte for byte. quarnunzip extracts to files; the other tools
# write to /dev/null. CPU time is user + system of all threads.
set -euo pipefail

source "$(dirname "$0")/../scripts/deps.sh"
qn_ensure_deps xz zstd bzip2 ${PLOT:+matplotlib} || { echo "could not install the tools compared" >&2; exit 1; }

MODE=ratio
case ${1:-} in ratio | decode) MODE=$1; shift ;; esac
BUILD=$(cd "${1:-build}" && pwd)
HERE=$(cd "$(dirname "$0")" && pwd)
if [[ -n ${CSV:-} ]]; then CSV=$(realpath -m "$CSV"); fi
if [[ -n ${PLOT:-} ]]; then PLOT=$(realpath -m "$PLOT"); fi
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

# INCLUDE_TAR= and LIBRARIES_TAR= name tars made earlier, so that two runs see the same bytes
# (installing a package changes both folders).
includeTar() {
  if [[ -n ${INCLUDE_TAR:-} ]]; then cp "$INCLUDE_TAR" "$1"; return; fi
  tar -cf "$1" -C /usr include 2>/dev/null || true
}
librariesTar() {
  if [[ -n ${LIBRARIES_TAR:-} ]]; then cp "$LIBRARIES_TAR" "$1"; return; fi
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

# ---- ratio: both corpora, every level of every tool ----

median() { sort -g | awk '{v[NR] = $1} END {print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2}'; }

# measure LABEL LEVEL CMD...: RUNS runs of CMD (which writes c.out); prints a table row and a
# CSV row with the median CPU and wall time and the median peak resident set.
measure() {
  local label=$1 level=$2; shift 2
  local cpus="" walls="" rss=""
  for ((r = 0; r < RUNS; ++r)); do
    rm -f c.out c.out.*
    /usr/bin/time -o run.time -f "%U %S %e %M" "$@" > /dev/null 2> run.err || { cat run.err >&2; exit 1; }
    cpus+="$(awk '{print $1 + $2}' run.time) "
    walls+="$(awk '{print $3}' run.time) "
    rss+="$(awk '{print $4}' run.time) "
  done
  local bytes cpu wall kb
  bytes=$( (cat c.out c.out.* 2>/dev/null || true) | wc -c)  # volumes, if any
  cpu=$(tr ' ' '\n' <<<"$cpus" | grep . | median)
  wall=$(tr ' ' '\n' <<<"$walls" | grep . | median)
  kb=$(tr ' ' '\n' <<<"$rss" | grep . | median)
  if [[ "$label $level" == "xz -6" ]]; then XZ6=$bytes; fi
  printf "%-22s %12d %7.3f %8.2f %8.2f %8.0f\n" "$label $level" "$bytes" \
    "$(awk -v b="$bytes" -v x="${XZ6:-$bytes}" 'BEGIN {print b / x}')" "$cpu" "$wall" "$((kb / 1024))"
  echo "$CORPUS,$label,$level,$bytes,$cpu,$wall,$kb" >> "$CSV"
}

roundTrip() {  # label: c.out is a quarnzip archive of corpus.tar
  rm -rf out
  "$UNZIP" c.out x.xml out > /dev/null
  check out/corpus.tar "$1"
}

ratioCorpus() {  # label
  CORPUS=$1
  SIZE=$(stat -c %s corpus.tar)
  SUM=$(sha256sum < corpus.tar)
  printf "\n%s (%d bytes): medians of %d runs; size against xz -6's\n" "$CORPUS" "$SIZE" "$RUNS"
  printf "%-22s %12s %7s %8s %8s %8s\n" tool bytes "/ xz-6" "CPU s" "wall s" "peak MB"
  XZ6=""
  measure "xz" -6 sh -c "xz -6 -T1 < corpus.tar > c.out"  # the yardstick first
  for l in 1 2 3 4 5 7 8 9; do measure "xz" "-$l" sh -c "xz -$l -T1 < corpus.tar > c.out"; done
  measure "zstd" -3 sh -c "zstd -3 -q < corpus.tar > c.out"
  measure "zstd" -19 sh -c "zstd -19 -q < corpus.tar > c.out"
  measure "bzip2" -9 sh -c "bzip2 -9 < corpus.tar > c.out"
  for l in 1 2 3 4 5 6 7 8 9; do
    measure "quarnzip" "-$l" "$ZIP" "-$l" c.out corpus.tar
    roundTrip "quarnzip -$l"
  done
  measure "quarnzip -T1" -6 "$ZIP" -6 -T1 c.out corpus.tar
  measure "quarnzip -T1" -9 "$ZIP" -9 -T1 c.out corpus.tar
  measure "quarnzip --bwt 1" -6 "$ZIP" --bwt 1 c.out corpus.tar
  roundTrip "quarnzip --bwt 1"
  measure "quarnzip --bwt 1" -9 "$ZIP" -9 --bwt 1 c.out corpus.tar
  roundTrip "quarnzip -9 --bwt 1"
}

ratio() {
  header
  CSV=${CSV:-$WORK/ratio.csv}
  echo "corpus,tool,level,bytes,cpu,wall,rss_kb" > "$CSV"
  if [[ ${CORPORA:-both} != libraries ]]; then
    includeTar corpus.tar
    ratioCorpus "tar of /usr/include"
  fi
  if [[ ${CORPORA:-both} != include ]]; then
    librariesTar corpus.tar
    ratioCorpus "tar of shared libraries"
  fi
  rm -f corpus.tar
  if [[ -n ${PLOT:-} ]]; then /usr/bin/python3 "$HERE/plot.py" "$CSV" "$PLOT"; fi
}

# ---- decode: both corpora, medians of alternating runs ----

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
