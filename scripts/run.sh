#!/usr/bin/env bash
# Builds fpigate and runs it in the foreground, until Ctrl-C, on the sample
# configuration with every file in the state directory run/: logs and fault
# counters in run/data, CSV exports in run/export, the simulated GPIO chip in
# run/gpio, the ubus socket run/ubus.sock. Needs no serial port, no GPIO chip
# and never writes to /root.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
run=$root/run

scripts/setup.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target fpigate

mkdir -p "$run/config" "$run/data" "$run/export" "$run/gpio"

# The run copy of the sample configuration: host paths in place of the
# gateway's, and no radio port yet.
grep -v -E "^[[:space:]]*#?option (rtu_port|data_dir|export_dir|gpio_chip|ubus_socket) " config/fpigate |
  awk -v run="$run" '{ print }
    /^config iec104_slave/ {
      print "\toption data_dir \047" run "/data\047"
      print "\toption export_dir \047" run "/export\047"
      print "\toption gpio_chip \047sim:" run "/gpio\047"
      print "\toption ubus_socket \047" run "/ubus.sock\047"
    }' > "$run/config/fpigate"

exec build/bin/fpigate -p "$run/config"
