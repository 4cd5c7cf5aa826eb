#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, ASan + UBSan) in build-fuzz/ and runs them.
#   scripts/fuzz.sh TARGET SECONDS   one target; new inputs gather in build-fuzz/corpus/TARGET
#   scripts/fuzz.sh                  every target for 20 seconds
#   scripts/fuzz.sh --run BINARY TARGET SECONDS   (ctest) replay TARGET's regression inputs,
#                                    then fuzz from its seeds into a scratch corpus
# A crash leaves its input as build-fuzz/crash-* (or in the ctest folder) and exits non-zero.
set -uo pipefail
cd "$(dirname "$0")/.."
SRC=$PWD/tests/fuzz
TARGETS=(archive stream index ini bwt container roundtrip)

# libFuzzer's options for one target: memory and time bounds, its dictionary, its input size.
options() {
  local t=$1
  # Paths are absolute: the targets work in a scratch folder of their own.
  local -a o=(-timeout=60 -rss_limit_mb=2560 -malloc_limit_mb=4194304 -print_final_stats=1
              "-artifact_prefix=$PWD/")
  [ -f "$SRC/dict/$t.dict" ] && o+=("-dict=$SRC/dict/$t.dict")
  case $t in
    bwt) o+=(-max_len=70000) ;;
    archive | container | roundtrip) o+=(-max_len=300000) ;;
    *) o+=(-max_len=65536) ;;
  esac
  echo "${o[@]}"
}

# Huge requests fail as the program expects (its message, status 1) instead of aborting.
export ASAN_OPTIONS=${ASAN_OPTIONS:-allocator_may_return_null=1:detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

run() {  # BINARY TARGET SECONDS CORPUS...
  local bin=$1 t=$2 secs=$3
  shift 3
  local -a reg=()
  [ -d "$SRC/regression/$t" ] && mapfile -t reg < <(find "$SRC/regression/$t" -type f | sort)
  if [ ${#reg[@]} -gt 0 ]; then
    echo "== $t: ${#reg[@]} regression inputs"
    "$bin" $(options "$t") -runs=0 "${reg[@]}" || return 1
  fi
  echo "== $t: fuzzing for $secs s"
  # shellcheck disable=SC2046
  "$bin" $(options "$t") -max_total_time="$secs" "$@"
}

if [ "${1:-}" = --run ]; then
  scratch=$(mktemp -d)
  trap 'rm -rf "$scratch"' EXIT
  cd "$(dirname "$2")" || exit 1         # a crash's input is left beside the target
  run "$2" "$3" "$4" "$scratch" "$SRC/corpus/$3"
  exit
fi

source scripts/deps.sh
qn_ensure_deps || exit 1
cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++-14 \
  -DQN_SANITIZE=fuzzer >/dev/null || exit 1
if [ $# -ge 1 ]; then
  cmake --build build-fuzz -j2 --target "fuzz_$1" || exit 1
  mkdir -p "build-fuzz/corpus/$1"
  cd build-fuzz && run "$PWD/tests/fuzz/fuzz_$1" "$1" "${2:-60}" "$PWD/corpus/$1" "$SRC/corpus/$1"
  exit
fi
cmake --build build-fuzz -j2 || exit 1
status=0
for t in "${TARGETS[@]}"; do
  [ -x "build-fuzz/tests/fuzz/fuzz_$t" ] || continue
  (cd build-fuzz && run "$PWD/tests/fuzz/fuzz_$t" "$t" 20 "$(mktemp -d)" "$SRC/corpus/$t") || status=1
done
exit $status
