#!/usr/bin/env bash
# The layer check against small planted trees: each case is a file, the
# include planted in it and the line the check must print (empty: allowed).
set -uo pipefail
check=$1/tools/check_layers.sh
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

cases=(
  'rf/reader.cpp|logs/rf_data.h|rf/reader.cpp:2: includes "logs/rf_data.h": rf (layer 3) may include only lib, core, config'
  'outstation/aux.cpp|fpi/fault_counter.h|outstation/aux.cpp:2: includes "fpi/fault_counter.h": outstation (layer 5) may include only lib, core, config, rf, logs'
  'fpi/uplink.cpp|dio/dio.h|fpi/uplink.cpp:2: includes "dio/dio.h": fpi (layer 6) may include only lib, core, config, rf, logs, outstation'
  'core/clock.cpp|config/config.h|core/clock.cpp:2: includes "config/config.h": core (layer 1) may include only lib'
  'lib/uci/uci.cpp|lib/ubus/blob.h|lib/uci/uci.cpp:2: includes "lib/ubus/blob.h": lib/uci may include only lib/uci'
  'vpnwatch/main.cpp|core/clock.h|vpnwatch/main.cpp:2: includes "core/clock.h": vpnwatch may include only lib'
  'daemon/run.cpp|tests/support/wait.h|daemon/run.cpp:2: includes "tests/support/wait.h": tests is not a folder of the production layers'
  'daemon/run.cpp|services/rf_service.h|'
  'fpi/uplink.cpp|outstation/reporting.h|'
  'rf/reader.cpp|reader.h|'
)

failed=0
for c in "${cases[@]}"; do
  IFS='|' read -r file include expected <<<"$c"
  rm -rf "$tmp"/* && mkdir -p "$tmp/$(dirname "$file")"
  printf '// planted\n#include "%s"\n' "$include" >"$tmp/$file"
  out=$("$check" "$tmp" 2>/dev/null)
  rc=$?
  if [ -z "$expected" ]; then
    [ $rc -eq 0 ] || { echo "FAIL: $file including $include was refused: $out"; failed=1; }
  elif [ $rc -ne 1 ] || [ "$out" != "$expected" ]; then
    echo "FAIL: $file including $include: exit $rc, printed '$out', expected '$expected'"
    failed=1
  fi
done
exit $failed
