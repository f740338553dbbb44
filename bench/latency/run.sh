#!/bin/sh
# The latency and flash figures in one run (a few minutes):
#   bench/latency/run.sh [BUILD_DIR [BEFORE_FPIGATE]]
# BUILD_DIR (default: build) holds bench/latency_bench, bench/flash_budget
# and bin/fpigate; BEFORE_FPIGATE is another fpigate binary whose flash
# budget is printed beside this build's (for example one built from an older
# commit in a worktree of its own). The files go under $TMPDIR, /var/tmp when
# unset: a disk, as on the gateway, not tmpfs. The syncs are counted when
# strace is installed. Not part of CTest or CI: the figures depend on the
# machine and on what else runs on it.
set -eu
build=${1:-build}
before=${2:-}
export TMPDIR="${TMPDIR:-/var/tmp}"
for f in "$build/bench/latency_bench" "$build/bench/flash_budget" "$build/bin/fpigate"; do
	[ -x "$f" ] || { echo "run.sh: $f missing: cmake --build $build --target latency_bench flash_budget fpigate" >&2; exit 2; }
done

echo "machine: $(nproc) cores, $(uname -srm); load average $(cut -d' ' -f1-3 /proc/loadavg)"
echo "files under $TMPDIR: $(findmnt -no FSTYPE -T "$TMPDIR" 2>/dev/null || stat -f -c %T "$TMPDIR") file system"
"$build/bench/latency_bench"

strace_opt=
if command -v strace >/dev/null 2>&1; then strace_opt=--strace; else echo "(no strace: syncs not counted)"; fi
if [ -n "$before" ]; then "$build/bench/flash_budget" --bin "$before" --label before $strace_opt; fi
"$build/bench/flash_budget" --bin "$build/bin/fpigate" --label "this build" $strace_opt
echo "load average at the end: $(cut -d' ' -f1-3 /proc/loadavg)"
