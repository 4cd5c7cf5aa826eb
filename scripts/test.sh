#!/usr/bin/env bash
# Runs every test: a normal (Release, g++) build with all tests, a clang Release build with all
# tests but the slow ones, an ASan+UBSan build with all tests but the slow ones, a TSan
# build with the pipeline tests, and the fuzz targets (regression inputs, then 60 s each).
# Exits non-zero on any failure.
set -uo pipefail
exec </dev/null                       # nothing here may wait for a keyboard
cd "$(dirname "$0")/.."
source scripts/deps.sh

JOBS=2
start=$SECONDS
qn_ensure_deps || { echo "could not install the build dependencies"; exit 1; }

failed=()
summary=()

# stage NAME DIR "cmake options" "ctest options"
stage() {
  local name=$1 dir=$2 t0=$SECONDS rc=0
  local -a cfg ctl
  read -r -a cfg <<<"$3"
  read -r -a ctl <<<"$4"
  echo
  echo "=== $name: build in $dir/"
  mkdir -p "$dir"
  if ! cmake -S . -B "$dir" "${cfg[@]}" >"$dir/configure.log" 2>&1; then
    cat "$dir/configure.log"
    failed+=("$name (configure)")
    summary+=("$name: configure failed")
    return
  fi
  # Sanitizer stages build only what their tests run; the normal stage builds everything.
  local -a targets=()
  if [ "$name" = asan+ubsan ] || [ "$name" = tsan ]; then
    read -r -a targets <<<"$(python3 scripts/test_targets.py "$dir" "${ctl[@]}")"
    echo "targets: ${targets[*]}"
  fi
  if ! cmake --build "$dir" -j "$JOBS" ${targets[@]:+--target "${targets[@]}"}; then
    failed+=("$name (build)")
    summary+=("$name: build failed")
    return
  fi
  local built=$((SECONDS - t0))
  echo "=== $name: ctest ${ctl[*]}"
  ctest --test-dir "$dir" --output-on-failure -j "$JOBS" "${ctl[@]}" 2>&1 | tee "$dir/ctest.log"
  rc=${PIPESTATUS[0]}
  [ "$rc" -eq 0 ] || failed+=("$name (tests)")
  local line
  line=$(grep -E 'tests passed, [0-9]+ tests failed out of' "$dir/ctest.log" | tail -1)
  summary+=("$name: ${line:-no ctest summary} (build ${built} s, total $((SECONDS - t0)) s)")
}

stage "normal" build "-DCMAKE_BUILD_TYPE=Release" ""
# The second compiler builds the whole tree (warnings are errors there too).
stage "clang" build-clang "-DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_COMPILER=clang++-14" "-LE slow"
san="-DCMAKE_BUILD_TYPE=RelWithDebInfo -DQN_BENCH=OFF"
stage "asan+ubsan" build-asan "$san -DQN_SANITIZE=address" "-LE slow"
stage "tsan" build-tsan "$san -DQN_SANITIZE=thread" "-L pipeline"
stage "fuzz" build-fuzz "-DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++-14 -DQN_SANITIZE=fuzzer" "-L fuzz"

echo
echo "=== summary"
for s in "${summary[@]}"; do echo "  $s"; done
total=$((SECONDS - start))
echo "  whole run: $((total / 60)) min $((total % 60)) s"
# CPU time of everything the run started: on a busy machine, CPU time / 2 cores estimates
# the wall time of an idle two-core machine.
times_file=$(mktemp)
times >"$times_file"                  # in this shell: a pipe would run it in a subshell
cpu=$(tail -1 "$times_file" | awk '{ t = 0; for (i = 1; i <= 2; i++) { split($i, a, /[ms]/); t += a[1] * 60 + a[2] } printf "%d", t }')
rm -f "$times_file"
echo "  CPU time (user + sys): $((cpu / 60)) min $((cpu % 60)) s"
if [ ${#failed[@]} -gt 0 ]; then
  echo "FAILED: ${failed[*]}"
  exit 1
fi
echo "all stages passed"
