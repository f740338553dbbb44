#!/usr/bin/env bash
# Installs what is missing, builds everything into build/ and runs every test.
#   scripts/test.sh [CTEST ARGS]                      plain build in build/
#   scripts/test.sh --sanitize=address [CTEST ARGS]   ASan + UBSan, in build-asan/
#   scripts/test.sh --sanitize=thread [CTEST ARGS]    TSan, in build-tsan/
# Every other argument goes to ctest (e.g. -R Vpnwatch).
set -euo pipefail
cd "$(dirname "$0")/.."

sanitize=
args=()
for a in "$@"; do
  case $a in
    --sanitize=*) sanitize=${a#--sanitize=} ;;
    *) args+=("$a") ;;
  esac
done

scripts/setup.sh

if [ -z "$sanitize" ]; then
  cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
  cmake --build build -j"$(nproc)"
  ctest --test-dir build --output-on-failure -j"$(nproc)" "${args[@]}"
  exit
fi

# ASan + UBSan with clang: its runtime holds both, so a UBSan report goes to
# the report file below like an ASan one. g++ links a separate libubsan whose
# reports always go to standard error once libasan is loaded.
case $sanitize in
  address) dir=build-asan; compiler=(-DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++) ;;
  thread) dir=build-tsan; compiler=() ;;
  *) echo "scripts/test.sh: --sanitize=address or --sanitize=thread, not '$sanitize'" >&2; exit 2 ;;
esac

# Every sanitized process (test binaries at build time, when CMake lists their
# cases, and at run time, and the programs they start: fpigate, fpi-sim,
# ubusd-lite, ...) writes its reports to a file of its own in $reports
# (<tool>.<program>.<pid>) instead of its standard error, which a test that
# started it may collect and never print. A report stops the process with an
# error (halt_on_error, abort_on_error), so the test that ran it fails; and
# whatever file appears in $reports fails this script even where the test did
# not notice (a child killed afterwards, an exit status the test ignores).
reports=$PWD/$dir/sanitizer-reports
rm -rf "$reports"
mkdir -p "$reports"
log="log_path=$reports/$sanitize:log_exe_name=1"
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:$log"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:$log"
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:$log"

# TSan wants the program at fixed places in the address space; with the
# kernel's address randomisation at high entropy (vm.mmap_rnd_bits above 28)
# it stops with "unexpected memory mapping". setarch -R turns randomisation off
# for this run only (the personality is inherited by every child), without
# touching the machine-wide setting.
run=()
if [ "$sanitize" = thread ] && setarch "$(uname -m)" -R true 2>/dev/null; then
  run=(setarch "$(uname -m)" -R)
fi

"${run[@]}" cmake -S . -B "$dir" "${compiler[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DFPIGATE_SANITIZE="$sanitize" -DFPIGATE_BENCH=OFF
"${run[@]}" cmake --build "$dir" -j"$(nproc)"
status=0
"${run[@]}" ctest --test-dir "$dir" --output-on-failure -j"$(nproc)" "${args[@]}" || status=$?

found=$(find "$reports" -type f -size +0 | sort)
if [ -n "$found" ]; then
  for f in $found; do
    echo "==== sanitizer report: ${f#"$PWD"/}"
    cat "$f"
  done
  echo "scripts/test.sh: $(echo "$found" | wc -l) sanitizer report(s) in ${reports#"$PWD"/}" >&2
  [ "$status" -ne 0 ] || status=1
fi
exit "$status"
