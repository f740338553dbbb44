#!/usr/bin/env bash
# Measures the footprint of fpigate and vpnwatch and prints it as a table:
#
#   size   stripped sizes of both daemons built for armhf (MinSizeRel, as the
#          OpenWrt package builds them: -Os, tests and benchmarks off)
#   rss    fpigate with nine FPIs reporting (config/demo-scenario.txt) and five
#          masters connected with STARTDT: VmRSS, VmHWM, threads; on the host
#          build and, under qemu-arm, the armhf build (with qemu's own RSS for
#          a trivial program beside it, since qemu-user counts the emulator too)
#   idle   fpigate with nine quiet FPIs (joined, then silent) and two masters,
#          over IDLE_SECONDS (10): wake-ups per second (context switches of
#          every thread, /proc/PID/task/*/schedstat) and CPU (utime+stime from
#          /proc/PID/stat, and the run time from schedstat), with the wake-ups
#          of each thread
#
#   bench/footprint.sh [size|rss|idle]...      (default: all three)
#
# Build folders: HOST_BUILD (build-h2) and ARM_BUILD (build-armhf-rel); each is
# configured and the daemons and tools it needs are built first. Every run uses
# its own temporary state directory (ubusd-lite socket, logs, simulated GPIO)
# and a free TCP port on 127.0.0.1; nothing is written to /root or /tmp/ubus.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
host_build=${HOST_BUILD:-build-h2}
arm_build=${ARM_BUILD:-build-armhf-rel}
idle_seconds=${IDLE_SECONDS:-10}
jobs=${JOBS:-2}
what=("$@")
[ ${#what[@]} -gt 0 ] || what=(size rss idle)

want() { local w; for w in "${what[@]}"; do [ "$w" = "$1" ] && return 0; done; return 1; }
kib() { awk -v b="$1" 'BEGIN { printf "%.0f KiB", b / 1024 }'; }

# ---- builds ---------------------------------------------------------------

# quietly, the output shown only when a build fails
quiet() { "$@" > "$log_dir/build.log" 2>&1 || { cat "$log_dir/build.log" >&2; return 1; }; }

build_host() {
  quiet cmake -S . -B "$host_build" -DCMAKE_BUILD_TYPE=RelWithDebInfo
  quiet cmake --build "$host_build" -j"$jobs" --target fpigate ubusd-lite fpi-sim iec104-client
}

build_arm() {
  quiet cmake -S . -B "$arm_build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-armhf.cmake" \
    -DCMAKE_BUILD_TYPE=MinSizeRel -DFPIGATE_TESTS=OFF -DFPIGATE_BENCH=OFF -DFPIGATE_TOOLS=OFF
  quiet cmake --build "$arm_build" -j"$jobs" --target fpigate vpnwatch
  arm-linux-gnueabihf-strip -o "$arm_build/bin/fpigate.stripped" "$arm_build/bin/fpigate"
  arm-linux-gnueabihf-strip -o "$arm_build/bin/vpnwatch.stripped" "$arm_build/bin/vpnwatch"
}

# ---- one gateway on the host: broker, fpi-sim, fpigate ------------------------

state=
pids=()
cleanup() {
  local p
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  for p in "${pids[@]}"; do wait "$p" 2>/dev/null || true; done
  pids=()
  [ -n "$state" ] && rm -rf "$state"
  state=
}
trap cleanup EXIT

# wait_for SECONDS COMMAND...: polls every 0.1 s until COMMAND succeeds.
wait_for() {
  local limit=$(( $1 * 10 )); shift
  local i
  for (( i = 0; i < limit; i++ )); do "$@" && return 0; sleep 0.1; done
  echo "footprint: timed out waiting for: $*" >&2
  return 1
}
count_at_least() { [ "$(grep -c -- "$2" "$3" 2>/dev/null || true)" -ge "$1" ]; }

# start_gateway SCENARIO FPIGATE [RUNNER...]: starts ubusd-lite, fpi-sim playing
# SCENARIO on a pseudo-terminal and fpigate on a copy of config/fpigate (port 0,
# every path in the state directory); sets gw_pid and gw_port.
start_gateway() {
  local scenario=$1 daemon=$2; shift 2
  state=$(mktemp -d /tmp/fpigate-footprint.XXXXXX)
  mkdir -p "$state/config" "$state/data" "$state/export" "$state/gpio"

  "$host_build/bin/fpi-sim" "$scenario" > "$state/fpi-sim.log" 2>&1 &
  pids+=($!)
  wait_for 10 grep -q '^pty ' "$state/fpi-sim.log"
  local tty
  tty=$(sed -n 's/^pty //p' "$state/fpi-sim.log" | head -n 1)

  grep -v -E "^[[:space:]]*#?option (rtu_port|data_dir|export_dir|gpio_chip|ubus_socket|port) " config/fpigate |
    awk -v run="$state" -v tty="$tty" '{ print }
      /^config iec104_slave/ {
        print "\toption rtu_port \047" tty "\047"
        print "\toption port \0470\047"
        print "\toption data_dir \047" run "/data\047"
        print "\toption export_dir \047" run "/export\047"
        print "\toption gpio_chip \047sim:" run "/gpio\047"
        print "\toption ubus_socket \047" run "/ubus.sock\047"
      }' > "$state/config/fpigate"

  "$host_build/bin/ubusd-lite" -s "$state/ubus.sock" > "$state/ubusd.log" 2>&1 &
  pids+=($!)
  wait_for 10 test -S "$state/ubus.sock"

  "$@" "$daemon" -p "$state/config" > "$state/fpigate.log" 2>&1 &
  gw_pid=$!
  pids+=("$gw_pid")
  wait_for 60 grep -q 'listening on port' "$state/fpigate.log"
  gw_port=$(sed -n 's/.*listening on port \([0-9]*\).*/\1/p' "$state/fpigate.log" | head -n 1)
}

# masters N SECONDS: N iec104-clients watching; waits until all are activated.
masters() {
  local n=$1 seconds=$2 i
  for (( i = 0; i < n; i++ )); do
    "$host_build/bin/iec104-client" -p "$gw_port" 127.0.0.1 watch "$seconds" > "$state/master$i.log" 2>&1 &
    pids+=($!)
  done
  wait_for 60 count_at_least "$n" 'Connection activated' "$state/fpigate.log"
}

status_field() { awk -v f="$2:" '$1 == f { print $2 }' "/proc/$1/status"; }

# ---- size -----------------------------------------------------------------

size_rows=()
measure_size() {
  build_arm
  local b bytes
  for b in fpigate vpnwatch; do
    bytes=$(stat -c %s "$arm_build/bin/$b.stripped")
    size_rows+=("| $b, armhf MinSizeRel, stripped | $(kib "$bytes") ($bytes bytes) |")
  done
}

# ---- rss ------------------------------------------------------------------

rss_rows=()
# smaps_sum PID FILTER: KiB resident in the mappings that FILTER (an awk
# condition on start, end (numbers), perms, size_kib) selects.
smaps_sum() {
  awk -v base="${guest_base:-0}" '
    function hex(h,   i, n, c) { n = 0; for (i = 1; i <= length(h); i++) { c = index("0123456789abcdef", substr(h, i, 1)) - 1; n = n * 16 + c } return n }
    /^[0-9a-f]+-[0-9a-f]+ / { split($1, r, "-"); start = hex(r[1]); end = hex(r[2]); perms = $2; anon = (NF < 6) }
    /^Rss:/ { size_kib = (end - start) / 1024; if ('"$2"') sum += $2 }
    END { print sum + 0 }' "/proc/$1/smaps"
}

# rss_run LABEL FPIGATE [RUNNER...]
rss_run() {
  local label=$1; shift
  start_gateway config/demo-scenario.txt "$@"
  # all nine have joined and reported once, and the repeating reports have begun
  wait_for 120 count_at_least 10 'rx CMD_EVENT_DATA_ACK' "$state/fpi-sim.log"
  masters 5 600
  # one more round of reports with the five masters listening
  local acks
  acks=$(grep -c 'rx CMD_EVENT_DATA_ACK' "$state/fpi-sim.log")
  wait_for 60 count_at_least $(( acks + 9 )) 'rx CMD_EVENT_DATA_ACK' "$state/fpi-sim.log"
  local rss hwm threads
  rss=$(status_field "$gw_pid" VmRSS)
  hwm=$(status_field "$gw_pid" VmHWM)
  threads=$(status_field "$gw_pid" Threads)
  if [ -n "${guest_base:-}" ]; then
    # qemu-user: the guest's 4 GiB start at guest_base; what is resident there
    # is the program's own (code, data, heap, stacks), qemu's is outside.
    local guest
    guest=$(smaps_sum "$gw_pid" 'start >= base && start < base + 4294967296')
    rss_rows+=("| fpigate RSS, $label, 9 FPIs reporting, 5 masters | qemu process VmRSS $rss KiB (VmHWM $hwm KiB); resident in the guest address space $guest KiB; $threads threads |")
  else
    # glibc thread stacks: 8 MiB anonymous mappings, resident only where touched
    local stacks
    stacks=$(awk '
      /^[0-9a-f]+-[0-9a-f]+ / { anon = (NF < 6); perms = $2 }
      /^Size:/ { big = (anon && perms == "rw-p" && $2 == 8192); n += big }
      /^Rss:/ { if (big) kib += $2 }
      END { printf "%d stacks of 8 MiB with %d KiB resident", n, kib }' "/proc/$gw_pid/smaps")
    rss_rows+=("| fpigate RSS, $label, 9 FPIs reporting, 5 masters | VmRSS $rss KiB (VmHWM $hwm KiB); $threads threads, $stacks |")
  fi
  cleanup
}

measure_rss() {
  build_host
  rss_run "host x86-64" "$host_build/bin/fpigate"
  if command -v qemu-arm >/dev/null && [ -x "$arm_build/bin/fpigate.stripped" ]; then
    # Debian's armhf loader and libraries (libc6:armhf, which libgpiod2:armhf
    # brings): with -L /usr/arm-linux-gnueabihf the cross toolchain's loader
    # would meet the multiarch libc.so.6 through /etc/ld.so.cache, and
    # pthread_create crashes in such a mix.
    local base
    base=$(mktemp -d /tmp/fpigate-footprint.XXXXXX)
    printf '#include <unistd.h>\nint main(void){ pause(); return 0; }\n' > "$base/pause.c"
    arm-linux-gnueabihf-gcc -Os -o "$base/pause" "$base/pause.c"
    # where qemu puts the guest's address space on this machine
    qemu-arm -d page "$base/pause" 2> "$base/page.log" &
    local qp=$!
    wait_for 10 grep -q 'Locating guest address space @' "$base/page.log"
    guest_base=$(( $(sed -n 's/^Locating guest address space @ //p' "$base/page.log" | head -n 1) ))
    # the emulator's own share: qemu-arm running a program that only waits
    rss_rows+=("| qemu-arm running a C program that only waits (baseline) | VmRSS $(status_field "$qp" VmRSS) KiB; in the guest address space $(smaps_sum "$qp" 'start >= base && start < base + 4294967296') KiB |")
    kill "$qp"; wait "$qp" 2>/dev/null || true
    rm -rf "$base"
    rss_run "armhf (stripped, MinSizeRel) under qemu-arm" "$arm_build/bin/fpigate.stripped" qemu-arm
    guest_base=
  fi
}

# ---- idle -----------------------------------------------------------------

# sum of field N of every thread's schedstat
schedstat_sum() { cat /proc/"$1"/task/*/schedstat 2>/dev/null | awk -v f="$2" '{ s += $f } END { print s + 0 }'; }
cpu_ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat"; }
# TID SWITCHES per thread
per_thread() {
  local t
  for t in /proc/"$1"/task/*; do
    printf '%s %s\n' "${t##*/}" "$(cat "$t/schedstat")"
  done
}

idle_rows=()
idle_threads=()
measure_idle() {
  build_host
  local quiet="$state_quiet"
  start_gateway "$quiet" "$host_build/bin/fpigate"
  wait_for 120 grep -q '^done' "$state/fpi-sim.log"
  wait_for 60 count_at_least 9 'rx CMD_EVENT_DATA_ACK' "$state/fpi-sim.log"
  masters 2 $(( idle_seconds + 120 ))
  # the connections' modem queries and log entries are behind us
  wait_for 30 count_at_least 4 'Connection' "$state/fpigate.log"
  sleep 2
  local hz sw0 sw1 run0 run1 t0 t1 ns0 ns1
  hz=$(getconf CLK_TCK)
  per_thread "$gw_pid" > "$state/threads0"
  sw0=$(schedstat_sum "$gw_pid" 3); run0=$(schedstat_sum "$gw_pid" 1); t0=$(cpu_ticks "$gw_pid")
  ns0=$(date +%s%N)
  sleep "$idle_seconds"
  sw1=$(schedstat_sum "$gw_pid" 3); run1=$(schedstat_sum "$gw_pid" 1); t1=$(cpu_ticks "$gw_pid")
  ns1=$(date +%s%N)
  per_thread "$gw_pid" > "$state/threads1"
  local secs
  secs=$(awk -v a="$ns0" -v b="$ns1" 'BEGIN { printf "%.2f", (b - a) / 1e9 }')
  idle_rows+=("| fpigate idle, host, 9 quiet FPIs, 2 masters, ${secs} s | $(awk -v a="$sw0" -v b="$sw1" -v s="$secs" 'BEGIN { printf "%.1f wake-ups/s", (b - a) / s }') |")
  idle_rows+=("| the same: CPU, utime+stime | $(awk -v a="$t0" -v b="$t1" -v s="$secs" -v hz="$hz" 'BEGIN { printf "%.2f %% of a core (%d ticks of 1/%d s)", 100 * (b - a) / hz / s, b - a, hz }') |")
  idle_rows+=("| the same: CPU, run time of all threads (schedstat) | $(awk -v a="$run0" -v b="$run1" -v s="$secs" 'BEGIN { printf "%.3f %% of a core (%.1f ms)", 100 * (b - a) / 1e9 / s, (b - a) / 1e6 }') |")
  local tid r0 r1 n0 n1 rest
  while read -r tid r1 rest n1; do
    read -r r0 n0 < <(awk -v t="$tid" '$1 == t { print $2, $4 }' "$state/threads0")
    [ -n "$n0" ] || { r0=0; n0=0; }
    idle_threads+=("$(awk -v t="$tid" -v r0="$r0" -v r1="$r1" -v a="$n0" -v b="$n1" -v s="$secs" \
      -v n="$([ "$tid" = "$gw_pid" ] && echo main || cat "/proc/$gw_pid/task/$tid/comm" 2>/dev/null || true)" \
      -v w="$(cat "/proc/$gw_pid/task/$tid/wchan" 2>/dev/null || true)" \
      'BEGIN { printf "    %-8s %-12s %6.1f wake-ups/s %7.2f ms CPU  (%s)", t, n, (b - a) / s, (r1 - r0) / 1e6, w }')")
  done < "$state/threads1"
  cleanup
}

# ---- main -----------------------------------------------------------------

# The quiet FPIs: the demo's nine joins and first events, then silence.
log_dir=$(mktemp -d /tmp/fpigate-footprint-quiet.XXXXXX)
trap 'cleanup; rm -rf "$log_dir"' EXIT
state_quiet=$log_dir/quiet-scenario.txt
sed '/^# FPI 4: a fault/,$d' config/demo-scenario.txt > "$state_quiet"

want size && measure_size
want rss && measure_rss
want idle && measure_idle

echo "| what | figure |"
echo "|---|---|"
for r in "${size_rows[@]}" "${rss_rows[@]}" "${idle_rows[@]}"; do echo "$r"; done
if [ ${#idle_threads[@]} -gt 0 ]; then
  echo
  echo "wake-ups of each fpigate thread while idle:"
  printf '%s\n' "${idle_threads[@]}"
fi
