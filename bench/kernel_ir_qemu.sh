#!/usr/bin/env bash
# Instructions per sample of the per-period kernels in a cross build, counted
# under qemu user emulation, where valgrind cannot run: one translated block
# per guest instruction (-singlestep), each logged as it runs (-d exec), and
# the count for 1 block of 4096 frames taken from that for 11, so start-up
# drops out. Counted this way, an x86-64 build's portable kernels give
# callgrind's figures to two decimals.
#   bench/kernel_ir_qemu.sh [BUILD]     (default build-arm64, made by
#                                        scripts/test-arm64.sh); about a minute
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-arm64}
qemu=${QEMU:-$(sed -n 's/^ZELK_QEMU:FILEPATH=//p' "$build/CMakeCache.txt")}
count() {
  "$qemu" -singlestep -d nochain,exec -D /dev/stderr "$build/zelk_kernel_ir" "$@" \
    2>&1 >/dev/null | grep -c '^Trace'
}
echo "Instructions per sample, 4096-frame blocks ($(basename "$qemu"))"
for kernel in peak16 peak24 interleave16 interleave24; do
  line=$kernel
  per=40960  # 10 blocks; an interleaved sample is one of the two in a frame
  [[ $kernel == interleave* ]] && per=81920
  for version in $("$qemu" "$build/zelk_kernel_ir" versions); do
    line+=$(awk -v v="$version" -v one="$(count "$kernel" "$version" 1)" \
      -v eleven="$(count "$kernel" "$version" 11)" -v per="$per" \
      'BEGIN { printf "   %s %.2f", v, (eleven - one) / per }')
  done
  echo "$line"
done
