#!/usr/bin/env bash
# Installs the Debian packages that building, running and testing need.
# Safe to run again: apt-get skips what is already there.
set -euo pipefail

packages=(
  build-essential cmake g++ pkg-config
  libgtest-dev libgmock-dev libbenchmark-dev
  nlohmann-json3-dev libgpiod-dev
  clang libclang-rt-14-dev
  tshark shellcheck
)

# Only the build machine's own architecture (or "all") counts: with armhf
# added for the cross build, "libgpiod-dev" alone would also match the armhf one.
arch=$(dpkg --print-architecture)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status} ${Architecture}\n' "$p" 2>/dev/null |
    grep -q -E "^install ok installed ($arch|all)\$" || missing+=("$p:$arch")
done
[ ${#missing[@]} -eq 0 ] && exit 0

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
export DEBIAN_FRONTEND=noninteractive
# wireshark-common asks whether non-root users may capture; the answer does not matter here.
echo "wireshark-common wireshark-common/install-setuid boolean false" | $SUDO debconf-set-selections
$SUDO apt-get update -q
$SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
