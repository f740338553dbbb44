#!/usr/bin/env bash
# Builds one libFuzzer target with clang and runs it.
#   scripts/fuzz.sh NAME [SECONDS]   e.g. scripts/fuzz.sh iec104 180
# Findings are written to build-fuzz/findings-NAME/.
set -euo pipefail
cd "$(dirname "$0")/.."
name=${1:?usage: scripts/fuzz.sh NAME [SECONDS]}
seconds=${2:-60}
scripts/setup.sh
cmake -S . -B build-fuzz -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DFPIGATE_FUZZ=ON -DFPIGATE_TESTS=OFF -DFPIGATE_BENCH=OFF >/dev/null
cmake --build build-fuzz -j"$(nproc)" --target "fuzz_$name"
corpus=build-fuzz/corpus-$name
findings=build-fuzz/findings-$name
mkdir -p "$corpus" "$findings"
seeds=tests/fuzz/$name/corpus
[ -d "$seeds" ] || seeds=
exec build-fuzz/bin/fuzz_"$name" -max_total_time="$seconds" -artifact_prefix="$findings/" "$corpus" $seeds
