#!/usr/bin/env bash
# Builds fpigate for the gateway's CPU, 32-bit ARM (armhf), into build-armhf/
# and runs the whole CTest suite there under qemu-arm (user-mode emulation).
#   scripts/cross-test.sh [CTEST ARGS]      e.g. -R Vpnwatch
# Installs what is missing first (Debian bookworm; root, or sudo): the cross
# toolchain, qemu-user, the armhf libgpiod and GoogleTest (Debian multiarch),
# nlohmann-json and tshark. Safe to run again: it installs, registers and
# configures only what is not there yet.
set -euo pipefail
cd "$(dirname "$0")/.."

dir=build-armhf
triplet=arm-linux-gnueabihf
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"

# --- packages ---------------------------------------------------------------
host_packages=(cmake make pkg-config "g++-$triplet" qemu-user qemu-user-binfmt nlohmann-json3-dev tshark)
# The target's run-time C and C++ libraries (the sysroot qemu runs the
# programs with, see cmake/toolchain-armhf.cmake) and its libraries.
target_packages=(libc6:armhf libstdc++6:armhf libgpiod-dev:armhf libgtest-dev:armhf libgmock-dev:armhf)

installed() { dpkg-query -W -f='${Status}\n' "$1" 2>/dev/null | grep -q 'install ok installed'; }
missing=()
for p in "${host_packages[@]}" "${target_packages[@]}"; do
  installed "$p" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  dpkg --print-foreign-architectures | grep -qx armhf || $SUDO dpkg --add-architecture armhf
  # wireshark-common asks whether non-root users may capture; the answer does not matter here.
  echo "wireshark-common wireshark-common/install-setuid boolean false" | $SUDO debconf-set-selections
  $SUDO apt-get update -q
  $SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

# --- running ARM programs -----------------------------------------------------
# Test binaries are started through qemu-arm by ctest (CMAKE_CROSSCOMPILING_EMULATOR),
# but many tests start programs of their own (fpigate, fpi-sim, ubusd-lite,
# ubus-call, iec104-client): for exec of an ARM binary to work, the kernel
# hands it to qemu-arm through binfmt_misc. qemu-user-binfmt ships the entry
# (/usr/lib/binfmt.d/qemu-arm.conf) but only systemd-binfmt registers it, and
# CI's machine may have no systemd: register it here as systemd would.
binfmt=/proc/sys/fs/binfmt_misc
if [ ! -e $binfmt/register ]; then
  $SUDO mount -t binfmt_misc binfmt_misc $binfmt
fi
[ "$(cat $binfmt/status)" = enabled ] || echo 1 | $SUDO tee $binfmt/status >/dev/null
if [ -e $binfmt/qemu-arm ]; then
  interpreter=$(sed -n 's/^interpreter //p' $binfmt/qemu-arm)
  if [ ! -x "$interpreter" ]; then
    echo -1 | $SUDO tee $binfmt/qemu-arm >/dev/null  # left by a qemu that is gone
  elif ! grep -qx enabled $binfmt/qemu-arm; then
    echo 1 | $SUDO tee $binfmt/qemu-arm >/dev/null
  fi
fi
if [ ! -e $binfmt/qemu-arm ]; then
  grep -v '^#' /usr/lib/binfmt.d/qemu-arm.conf | $SUDO tee $binfmt/register >/dev/null
fi
# The programs find the target's loader and libraries where Debian multiarch
# put them (/lib/ld-linux-armhf.so.3, /lib/arm-linux-gnueabihf): a qemu prefix
# of the cross toolchain's libraries would mix two glibc builds.
unset QEMU_LD_PREFIX

# --- build and test -----------------------------------------------------------
# A cache made without the toolchain file (or with another) cannot become a
# cross build: start that one afresh. The toolchain file is named on the
# first configure only, as CMake keeps it.
if [ -f "$dir/CMakeCache.txt" ] && ! grep -q '^CMAKE_TOOLCHAIN_FILE:.*/cmake/toolchain-armhf\.cmake$' "$dir/CMakeCache.txt"; then
  rm -rf "$dir/CMakeCache.txt" "$dir/CMakeFiles"
fi
toolchain=()
[ -f "$dir/CMakeCache.txt" ] || toolchain=(-DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/toolchain-armhf.cmake")
# The plain build's -O2 and NDEBUG; debug information for backtraces (-g1:
# functions and lines) instead of -g, which makes the cross build a third slower.
cmake -S . -B "$dir" "${toolchain[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_FLAGS_RELWITHDEBINFO="-O2 -g1 -DNDEBUG" -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -g1 -DNDEBUG" \
  -DFPIGATE_TESTS=ON -DFPIGATE_BENCH=OFF
TIMEFORMAT="cross-test.sh: cross build %0R s (user %0U s, sys %0S s)"
time cmake --build "$dir" -j"$(nproc)"

# An ARM program started the way a test starts it (exec, no qemu named).
if ! "$dir/bin/fpigate" -h >/dev/null; then
  echo "cross-test.sh: $dir/bin/fpigate does not run: exec of ARM programs through binfmt_misc and qemu-arm fails" >&2
  exit 1
fi

# musl, the gateway's C library, gives a new thread 128 KiB of stack (glibc:
# the stack size limit, mostly 8 MiB). The target's glibc takes its default
# from RLIMIT_STACK, which qemu passes on, so with the limit at 128 KiB every
# thread of the programs and of the tests gets what it would get on musl
# (qemu still gives each main thread 8 MiB, as Linux does).
status=0
TIMEFORMAT="cross-test.sh: tests under qemu-arm %0R s (user %0U s, sys %0S s)"
time (ulimit -s 128 && ctest --test-dir "$dir" --output-on-failure -j2 "$@") || status=$?

# ctest names a skipped test but not why: the reasons, from its log.
log="$dir/Testing/Temporary/LastTest.log"
if [ -f "$log" ]; then
  awk '/: Skipped$/ { getline why; reason = why }
       /^\[  SKIPPED \] / && reason != "" { print "cross-test.sh: skipped " $4 ": " reason; reason = "" }' "$log"
fi
exit "$status"
