#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (ASan + UBSan) and runs them.
#   scripts/fuzz.sh NAME [SECONDS]   one target, e.g. scripts/fuzz.sh iec104 180
#   scripts/fuzz.sh all [SECONDS]    every target in turn, e.g. scripts/fuzz.sh all 30 (CI)
#   scripts/fuzz.sh list             the target names
# Targets are the folders of tests/fuzz; their seeds are tests/fuzz/NAME/corpus.
# The working corpus grows in build-fuzz/corpus-NAME, findings are written to
# build-fuzz/findings-NAME/, the output of a run to build-fuzz/fuzz-NAME.log.
# Fuzzers run one at a time, single process, under nice. Exits non-zero when
# a target finds a crash, a leak or a hang (or does not build).
# FUZZ_JOBS sets the build parallelism (default 2).
set -euo pipefail
cd "$(dirname "$0")/.."

targets=()
for d in tests/fuzz/*/; do
  [ -f "$d/CMakeLists.txt" ] && targets+=("$(basename "$d")")
done

name=${1:?usage: scripts/fuzz.sh NAME|all|list [SECONDS]}
seconds=${2:-60}
if [ "$name" = list ]; then
  printf '%s\n' "${targets[@]}"
  exit 0
fi
if [ "$name" = all ]; then
  run=("${targets[@]}")
else
  [ -f "tests/fuzz/$name/CMakeLists.txt" ] || { echo "no fuzz target '$name' (have: ${targets[*]})" >&2; exit 2; }
  run=("$name")
fi

scripts/setup.sh
cmake -S . -B build-fuzz -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DFPIGATE_FUZZ=ON -DFPIGATE_TESTS=OFF -DFPIGATE_BENCH=OFF >/dev/null
build_targets=()
for t in "${run[@]}"; do build_targets+=("fuzz_$t"); done
cmake --build build-fuzz -j"${FUZZ_JOBS:-2}" --target "${build_targets[@]}"

# One target for `seconds`; prints its summary line and returns libFuzzer's status.
fuzz_one() {
  local t=$1 corpus=build-fuzz/corpus-$1 findings=build-fuzz/findings-$1 log=build-fuzz/fuzz-$1.log
  mkdir -p "$corpus" "$findings"
  local args=(-max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1
              -artifact_prefix="$findings/")
  [ -f "tests/fuzz/$t/$t.dict" ] && args+=(-dict="tests/fuzz/$t/$t.dict")
  local seeds=()
  [ -d "tests/fuzz/$t/corpus" ] && seeds=("tests/fuzz/$t/corpus")
  local rc=0
  nice -n 10 "build-fuzz/bin/fuzz_$t" "${args[@]}" "$corpus" "${seeds[@]}" >"$log" 2>&1 || rc=$?
  # The last status line: "#N DONE cov: C ft: F corp: U/B ... exec/s: R ..."
  local status execs cov ft corp rate result
  status=$(grep -E '^#[0-9]+' "$log" | tail -n 1 || true)
  execs=$(grep -oE '^stat::number_of_executed_units: +[0-9]+' "$log" | awk '{print $2}' || true)
  [ -n "$execs" ] || execs=$(sed -nE 's/^#([0-9]+).*/\1/p' <<<"$status")
  rate=$(grep -oE '^stat::average_exec_per_sec: +[0-9]+' "$log" | awk '{print $2}' || true)
  cov=$(grep -oE 'cov: [0-9]+' <<<"$status" | awk '{print $2}' || true)
  ft=$(grep -oE 'ft: [0-9]+' <<<"$status" | awk '{print $2}' || true)
  corp=$(grep -oE 'corp: [0-9]+/[0-9]+[a-zA-Z]*' <<<"$status" | awk '{print $2}' || true)
  if [ "$rc" -eq 0 ]; then
    result=ok
  else
    result="FAILED (exit $rc): $(grep -m1 -oE '(ERROR|SUMMARY): .*|==[0-9]+== ?ERROR: .*|ALARM: .*' "$log" || echo 'see log')"
    local artifact
    artifact=$(grep -oE "Test unit written to .*" "$log" | tail -n 1 | sed 's/Test unit written to //' || true)
    [ -n "$artifact" ] && result="$result; input $artifact"
  fi
  summary+=("$(printf '%-10s execs %-10s exec/s %-7s cov %-6s ft %-6s corpus %-12s %s' \
    "$t" "${execs:-?}" "${rate:-?}" "${cov:-?}" "${ft:-?}" "${corp:-?}" "$result")")
  echo "${summary[-1]}"
  return "$rc"
}

summary=()
failed=0
for t in "${run[@]}"; do
  echo "== fuzz_$t for ${seconds}s (log build-fuzz/fuzz-$t.log)"
  fuzz_one "$t" || { failed=1; tail -n 40 "build-fuzz/fuzz-$t.log" >&2; }
done
if [ "${#run[@]}" -gt 1 ]; then
  echo "== summary"
  printf '%s\n' "${summary[@]}"
fi
exit "$failed"
