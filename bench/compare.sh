#!/usr/bin/env bash
# compare.sh: quarnzip and quarnunzip beside gzip, bzip2, xz and zstd, in one run.
#
# Usage: bench/compare.sh [ratio|decode] [BUILD_DIR] [RUNS]
#   ratio   (default) on both corpora, medians of RUNS rounds (default twice the CPUs) of every row: size,
#           CPU and wall time and peak memory of every level of quarnzip (-T1 and block mode
#           too) beside xz -1..-9 -T1, zstd -3/-19 and bzip2 -9; with CSV=FILE the rows also go
#           to FILE, and with PLOT=FILE.png bench/plot.py draws size against CPU time from them.
#           ROWS=REGEX keeps the rows whose "tool level" matches (and xz -6, the yardstick);
#           the one-thread rows take the CPUs in turn, a round each (PIN=N: all on CPU N;
#           PIN=: free)
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
RUNS=${2:-$([[ $MODE == ratio ]] && echo $((2 * $(nproc))) || echo 3)}
export ZIP=$BUILD/quarnzip
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
medianOf() { tr ' ' '\n' <<<"$1" | grep . | median; }  # of a list of numbers, each followed by a space

# The rows of the ratio table: label, level, whether the tool runs one thread (then it is
# pinned, see PIN below), whether its archive is a quarnzip one to extract and check, and the
# command (run by sh, with ZIP in its environment), which writes c.out.
ROWS_LABEL=() ROWS_LEVEL=() ROWS_ONE=() ROWS_CHECK=() ROWS_CMD=()
row() {
  [[ "$1 $2" == "xz -6" || "$1 $2" =~ ${ROWS:-.} ]] || return 0  # xz -6 is the yardstick
  ROWS_LABEL+=("$1") ROWS_LEVEL+=("$2") ROWS_ONE+=("$3") ROWS_CHECK+=("$4") ROWS_CMD+=("$5")
}
ratioRows() {
  row xz -6 1 0 "xz -6 -T1 < corpus.tar > c.out"  # the yardstick first
  for l in 1 2 3 4 5 7 8 9; do row xz "-$l" 1 0 "xz -$l -T1 < corpus.tar > c.out"; done
  row zstd -3 1 0 "zstd -3 -q < corpus.tar > c.out"
  row zstd -19 1 0 "zstd -19 -q < corpus.tar > c.out"
  row bzip2 -9 1 0 "bzip2 -9 < corpus.tar > c.out"
  for l in 1 2 3 4 5 6 7 8 9; do row quarnzip "-$l" 0 1 "\"\$ZIP\" -$l c.out corpus.tar"; done
  row "quarnzip -T1" -6 1 0 "\"\$ZIP\" -6 -T1 c.out corpus.tar"
  row "quarnzip -T1" -9 1 0 "\"\$ZIP\" -9 -T1 c.out corpus.tar"
  row "quarnzip --bwt 1" -6 0 1 "\"\$ZIP\" --bwt 1 c.out corpus.tar"
  row "quarnzip --bwt 1" -9 0 1 "\"\$ZIP\" -9 --bwt 1 c.out corpus.tar"
}

# A virtual machine's CPUs need not be equal, and which one is slower can change within the
# hour (the header shows how fast each runs quarnzip -T1). The rows with more threads run on
# every CPU at once; so by default the one-thread rows take the CPUs in turn, round r on CPU
# r mod their count, and over a multiple of that count of rounds their medians mix the CPUs
# as those rows do. PIN=N runs them all on CPU N; PIN= leaves them to the scheduler.
PIN=${PIN-turns}
NCPU=$(nproc)
pinned() {  # round one-thread? CMD...
  local r=$1 one=$2
  shift 2
  if [[ $one != 1 || -z $PIN ]]; then
    "$@"
  elif [[ $PIN == turns ]]; then
    taskset -c $((r % NCPU)) "$@"
  else
    taskset -c "$PIN" "$@"
  fi
}
cpuSpeeds() {
  head -c 16000000 corpus.tar > sample.bin
  local c line="quarnzip -T1 on the first 16 MB, wall s by CPU:"
  for ((c = 0; c < $(nproc) && c < 8; ++c)); do
    rm -f c.out
    /usr/bin/time -o run.time -f "%e" taskset -c "$c" "$ZIP" -T1 c.out sample.bin > /dev/null 2> run.err
    line+=" $c: $(cat run.time)"
  done
  # The same on every CPU at once: memory-bound work on one CPU may slow while the other
  # works, which caps what two threads can gain over one.
  line+="; all at once:"
  for ((c = 0; c < $(nproc) && c < 8; ++c)); do
    /usr/bin/time -o "run$c.time" -f "%e" taskset -c "$c" "$ZIP" -T1 "c$c.out" sample.bin > /dev/null 2> run.err &
  done
  wait
  for ((c = 0; c < $(nproc) && c < 8; ++c)); do line+=" $c: $(cat "run$c.time")"; done
  rm -f sample.bin c.out c[0-9]*.out run[0-9]*.time
  case ${PIN:-none} in
    turns) echo "$line; one-thread rows on CPU r mod $NCPU in round r" ;;
    *) echo "$line; one-thread rows pinned to CPU ${PIN:-none}" ;;
  esac
}

roundTrip() {  # label: c.out is a quarnzip archive of corpus.tar
  rm -rf out
  "$UNZIP" c.out x.xml out > /dev/null
  check out/corpus.tar "$1"
}

# Every round runs every row once, so that a change in the machine's speed during the run
# touches every row alike; the table gives the medians of the rounds.
ratioCorpus() {  # label
  CORPUS=$1
  SIZE=$(stat -c %s corpus.tar)
  SUM=$(sha256sum < corpus.tar)
  local -a cpus walls rss bytes
  local r i
  for ((r = 0; r < RUNS; ++r)); do
    for i in "${!ROWS_CMD[@]}"; do
      rm -f c.out c.out.*
      pinned "$r" "${ROWS_ONE[$i]}" /usr/bin/time -o run.time -f "%U %S %e %M" sh -c "${ROWS_CMD[$i]}" \
        > /dev/null 2> run.err || { cat run.err >&2; exit 1; }
      cpus[i]+="$(awk '{print $1 + $2}' run.time) "
      walls[i]+="$(awk '{print $3}' run.time) "
      rss[i]+="$(awk '{print $4}' run.time) "
      bytes[i]=$( (cat c.out c.out.* 2>/dev/null || true) | wc -c)  # volumes, if any
      if ((r == 0 && ROWS_CHECK[i])); then roundTrip "${ROWS_LABEL[$i]} ${ROWS_LEVEL[$i]}"; fi
    done
  done
  printf "\n%s (%d bytes): medians of %d rounds; size against xz -6's\n" "$CORPUS" "$SIZE" "$RUNS"
  printf "%-22s %12s %7s %8s %8s %8s\n" tool bytes "/ xz-6" "CPU s" "wall s" "peak MB"
  for i in "${!ROWS_CMD[@]}"; do
    local cpu wall kb
    cpu=$(medianOf "${cpus[$i]}")
    wall=$(medianOf "${walls[$i]}")
    kb=$(medianOf "${rss[$i]}")
    printf "%-22s %12d %7.3f %8.2f %8.2f %8.0f\n" "${ROWS_LABEL[$i]} ${ROWS_LEVEL[$i]}" "${bytes[$i]}" \
      "$(awk -v b="${bytes[$i]}" -v x="${bytes[0]}" 'BEGIN {print b / x}')" "$cpu" "$wall" "$((kb / 1024))"
    echo "$CORPUS,${ROWS_LABEL[$i]},${ROWS_LEVEL[$i]},${bytes[$i]},$cpu,$wall,$kb" >> "$CSV"
  done
}

ratio() {
  header
  ratioRows
  CSV=${CSV:-$WORK/ratio.csv}
  echo "corpus,tool,level,bytes,cpu,wall,rss_kb" > "$CSV"
  if [[ ${CORPORA:-both} != libraries ]]; then
    includeTar corpus.tar
    cpuSpeeds
    ratioCorpus "tar of /usr/include"
  fi
  if [[ ${CORPORA:-both} != include ]]; then
    librariesTar corpus.tar
    [[ ${CORPORA:-both} == libraries ]] && cpuSpeeds
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
      "$(medianOf "${wall[$i]}")" "$(medianOf "${cpu[$i]}")"
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
