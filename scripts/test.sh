#!/usr/bin/env bash
# Installs what is missing, then builds and runs the whole suite: in the
# plain build, in the AddressSanitizer + UndefinedBehaviorSanitizer build,
# its end-to-end tests in the ThreadSanitizer build, and on x86-64 in an
# arm64 build under emulation.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
jobs=$(nproc)

cmake -S . -B build >/dev/null
cmake --build build -j "$jobs"
(cd build && ctest --output-on-failure -j "$jobs")

cmake -S . -B build-sanitize -DZELK_SANITIZE=ON -DZELK_BENCHMARKS=OFF >/dev/null
cmake --build build-sanitize -j "$jobs"
(cd build-sanitize && ctest --output-on-failure -j "$jobs")

# The take runs on four threads: the unit and end-to-end tests again under
# ThreadSanitizer.
cmake -S . -B build-tsan -DZELK_TSAN=ON -DZELK_BENCHMARKS=OFF >/dev/null
cmake --build build-tsan -j "$jobs"
(cd build-tsan && ctest --output-on-failure -j "$jobs" -L "unit|e2e")

# The same tests of an arm64 build, under emulation.
if [[ $(dpkg --print-architecture) == amd64 ]]; then
  scripts/test-arm64.sh
fi
