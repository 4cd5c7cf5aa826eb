#!/usr/bin/env bash
# The main job on a fresh machine: build in Release, archive a sample folder with quarnzip,
# extract the archive with quarnunzip into a fresh folder, and compare the two trees.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
source scripts/deps.sh
qn_ensure_deps

echo "=== build (Release) in build-release/"
mkdir -p build-release
cmake -S . -B build-release -DCMAKE_BUILD_TYPE=Release -DQN_BENCH=OFF >build-release/configure.log \
  2>&1 || { cat build-release/configure.log; exit 1; }
cmake --build build-release -j 2 --target quarnunzip quarnzip

work=$(mktemp -d /tmp/qn-demo.XXXXXX)
echo "=== sample folder in $work/sample"
python3 - "$work/sample" "$root" <<'PY'
# A sample tree: the project's sources and documents, plus generated data.
import os, random, shutil, sys
dst, root = sys.argv[1], sys.argv[2]
shutil.copytree(os.path.join(root, "src"), os.path.join(dst, "src"))
shutil.copytree(os.path.join(root, "docs"), os.path.join(dst, "docs"))
rng = random.Random(7)
os.makedirs(os.path.join(dst, "data", "deep", "er"))
with open(os.path.join(dst, "data", "random.bin"), "wb") as f:
    f.write(rng.randbytes(3 << 20))
with open(os.path.join(dst, "data", "deep", "er", "runs.bin"), "wb") as f:
    f.write(b"".join(bytes([rng.randrange(4)]) * rng.randrange(1, 3000) for _ in range(2000)))
open(os.path.join(dst, "data", "empty.txt"), "wb").close()
with open(os.path.join(dst, "data", "naïve name.txt"), "w", encoding="utf-8") as f:
    f.write("Grüße, 你好\n" * 1000)
for i, p in enumerate(sorted(os.path.join(d, n) for d, _, fs in os.walk(dst) for n in fs)):
    os.utime(p, (1700000000 + 97 * i, 1700000000 + 97 * i))
PY
cd "$work"
printf 'language=2\n' >qn.ini
bytes=$(find sample -type f -printf '%s\n' | awk '{s += $1} END {print s}')

echo "=== quarnzip sample.qn sample"
t0=$(date +%s.%N)
"$root/build-release/quarnzip" sample.qn sample
t1=$(date +%s.%N)
echo "=== quarnunzip sample.qn sample.xml restored"
"$root/build-release/quarnunzip" sample.qn sample.xml restored
t2=$(date +%s.%N)

size=$(stat -c %s sample.qn)
python3 -c "import sys; a,b,c,s,z=map(float,sys.argv[1:]); print(f'{s:.0f} bytes -> {z:.0f} bytes (ratio {s/z:.2f}), quarnzip {b-a:.2f} s, quarnunzip {c-b:.2f} s')" \
  "$t0" "$t1" "$t2" "$bytes" "$size"

echo "=== compare"
# The archive keeps the folder's own name when it was given as a path.
restored=restored
[ -d restored/sample ] && restored=restored/sample
python3 "$root/scripts/compare_trees.py" sample "$restored"
echo "demo passed; files in $work"
