#!/usr/bin/env bash
# Installs what is missing, then builds and runs the whole suite in each
# configuration of CMakePresets.json: the plain build, whose sources
# clang-tidy then checks; the AddressSanitizer + UndefinedBehaviorSanitizer
# build; the unit and end-to-end tests under ThreadSanitizer; and on x86-64
# those of an arm64 build under emulation.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
export CMAKE_BUILD_PARALLEL_LEVEL=$(nproc) CTEST_PARALLEL_LEVEL=$(nproc)

# Every program source, not the tests, by the plain build's compile
# commands; a finding is an error (.clang-tidy).
tidy() {
  local sources=()
  for source in src/*/*.cpp; do
    [[ $source == *_test.cpp ]] || sources+=("$source")
  done
  if command -v run-clang-tidy >/dev/null; then
    run-clang-tidy -quiet -p build -j "$(nproc)" "${sources[@]}"
  else
    printf '%s\0' "${sources[@]}" |
      xargs -0 -n 1 -P "$(nproc)" clang-tidy --quiet -p build
  fi
}

for preset in plain sanitize tsan arm64; do
  if [[ $preset == arm64 ]]; then
    # Its cross toolchain and arm64 libraries first.
    if [[ $(dpkg --print-architecture) == amd64 ]]; then
      scripts/test-arm64.sh
    fi
  else
    cmake --workflow --preset "$preset"
  fi
  if [[ $preset == plain ]]; then
    tidy
  fi
done
