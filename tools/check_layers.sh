#!/usr/bin/env bash
# The layer rule of fpigate's production folders: a folder includes only the
# folders below it. Reads every #include "..." of core, config, rf, logs,
# outstation, fpi, dio, services, daemon, vpnwatch and lib, and prints each
# include that breaks the rule with its file, line and the rule. Exit 0 when
# there is none, 1 otherwise. tools/, tests/ and bench/ may include anything.
#   tools/check_layers.sh [SOURCE_DIR]
set -uo pipefail
root=${1:-$(dirname "$0")/..}
cd "$root" || exit 2

# The layers, bottom to top; a folder may include every folder of a lower layer.
# fpi and dio share a layer and so may not include each other.
layers=(
  "lib"
  "core"
  "config"
  "rf"
  "logs"
  "outstation"
  "fpi dio"
  "services"
  "daemon"
)

declare -A level
for i in "${!layers[@]}"; do
  for folder in ${layers[$i]}; do level[$folder]=$i; done
done

# What a folder may include, for the message.
allowed() {
  local own=$1 list=() i
  for ((i = 0; i < level[$own]; i++)); do list+=(${layers[$i]}); done
  local text="${list[*]}"
  echo "${text// /, }"
}

broken=0
report() {  # file line included rule
  echo "$1:$2: includes \"$3\": $4"
  broken=$((broken + 1))
}

while IFS= read -r file; do
  top=${file%%/*}
  while IFS=: read -r line text; do
    inc=${text#*\"}
    inc=${inc%%\"*}
    target=${inc%%/*}
    [ "$target" = "$inc" ] && continue  # "x.h": the file's own folder
    if [ "$top" = lib ]; then
      # each stack stands alone: lib/X includes only lib/X
      stack=${file#lib/}; stack=${stack%%/*}
      [[ $inc == lib/$stack/* ]] || report "$file" "$line" "$inc" "lib/$stack may include only lib/$stack"
    elif [ "$top" = vpnwatch ]; then
      # a program of its own: the stacks only
      [ "$target" = lib ] || [ "$target" = vpnwatch ] ||
        report "$file" "$line" "$inc" "vpnwatch may include only lib"
    elif [ -n "${level[$target]+x}" ]; then
      [ "$target" = "$top" ] && continue
      ((level[$target] < level[$top])) ||
        report "$file" "$line" "$inc" "$top (layer ${level[$top]}) may include only $(allowed "$top")"
    else
      report "$file" "$line" "$inc" "$target is not a folder of the production layers"
    fi
  done < <(grep -n '^[[:space:]]*#[[:space:]]*include[[:space:]]*"' "$file")
done < <(find core config rf logs outstation fpi dio services daemon vpnwatch lib \
           -type f \( -name '*.h' -o -name '*.cpp' -o -name '*.hpp' -o -name '*.cc' \) 2>/dev/null | sort)

if ((broken > 0)); then
  echo "check_layers: $broken include(s) against the layer order lib < core < config < rf < logs < outstation < fpi, dio < services < daemon" >&2
  exit 1
fi
echo "check_layers: every include runs downward"
