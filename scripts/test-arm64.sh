#!/usr/bin/env bash
# Tests zelk for arm64 on an x86-64 machine. Cross-builds the program, the
# test capture device and the unit tests (build-arm64/) with Debian's
# multiarch packages, then runs ctest's unit and end-to-end tests there under
# qemu user emulation, through the real arm64 alsa-lib: the arm64 preset of
# CMakePresets.json. The end-to-end tests hold it to the bytes they hold the
# native build to.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)

sudo=()
[[ $(id -u) -eq 0 ]] || sudo=(sudo)
if ! dpkg --print-foreign-architectures | grep -qx arm64; then
  "${sudo[@]}" dpkg --add-architecture arm64  # setup.sh then updates the lists
fi
# The static emulators: qemu-user-static on Debian 12, qemu-user from 13 on.
qemu=qemu-user
grep -qx 'VERSION_CODENAME=bookworm' /etc/os-release && qemu=qemu-user-static
scripts/setup.sh g++-aarch64-linux-gnu "$qemu" \
  libasound2-dev:arm64 libgtest-dev:arm64 libstdc++6:arm64

CTEST_PARALLEL_LEVEL=$jobs CMAKE_BUILD_PARALLEL_LEVEL=$jobs \
  cmake --workflow --preset arm64
