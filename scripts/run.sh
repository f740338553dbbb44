#!/usr/bin/env bash
# Builds fpigate and runs it in the foreground, until Ctrl-C, on the sample
# configuration with every file in the state directory run/: logs and fault
# counters in run/data, CSV exports in run/export, the simulated GPIO chip in
# run/gpio, a local ubus broker (ubusd-lite) on run/ubus.sock, and the radio
# played by fpi-sim on a pseudo-terminal with the scenario
# config/demo-scenario.txt (its frames in run/fpi-sim.log). The broker and
# fpi-sim are stopped with fpigate. Needs no serial port, no GPIO chip, no
# system ubusd and never writes to /root.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
run=$root/run

scripts/setup.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target fpigate ubusd-lite ubus-call fpi-sim iec104-client

mkdir -p "$run/config" "$run/data" "$run/export" "$run/gpio"

# The radio: fpi-sim on a pseudo-terminal, playing the demo scenario.
build/bin/fpi-sim config/demo-scenario.txt > "$run/fpi-sim.log" 2>&1 &
sim=$!
trap 'kill $sim 2>/dev/null; wait $sim 2>/dev/null' EXIT
tty=
for _ in $(seq 50); do
  tty=$(sed -n 's/^pty //p' "$run/fpi-sim.log" | head -n 1)
  [ -n "$tty" ] && break
  sleep 0.1
done
[ -n "$tty" ] || { echo "fpi-sim did not start: $(cat "$run/fpi-sim.log")" >&2; exit 1; }

# The run copy of the sample configuration: host paths in place of the
# gateway's, the radio on fpi-sim's pseudo-terminal, and the diagnostics
# object on the bus.
grep -v -E "^[[:space:]]*#?option (rtu_port|data_dir|export_dir|gpio_chip|ubus_socket|diagnostics) " config/fpigate |
  awk -v run="$run" -v tty="$tty" '{ print }
    /^config iec104_slave/ {
      print "\toption rtu_port \047" tty "\047"
      print "\toption data_dir \047" run "/data\047"
      print "\toption export_dir \047" run "/export\047"
      print "\toption gpio_chip \047sim:" run "/gpio\047"
      print "\toption ubus_socket \047" run "/ubus.sock\047"
      print "\toption diagnostics \0471\047"
    }' > "$run/config/fpigate"

# The local broker; "build/bin/ubus-call -s run/ubus.sock list" shows what is on it.
rm -f "$run/ubus.sock"
build/bin/ubusd-lite -s "$run/ubus.sock" &
broker=$!
trap 'kill $broker $sim 2>/dev/null; wait $broker $sim 2>/dev/null' EXIT
for _ in $(seq 50); do [ -S "$run/ubus.sock" ] && break; sleep 0.1; done

build/bin/fpigate -p "$run/config"
