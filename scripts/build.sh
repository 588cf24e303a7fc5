#!/usr/bin/env bash
# Installs what is missing and builds the program at build/zelk.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake -S . -B build >/dev/null
cmake --build build -j "$(nproc)"
