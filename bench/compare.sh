#!/usr/bin/env bash
# zelk's whole-process CPU against the standard tools doing the same job, the
# instructions per sample of its per-period kernels, and a real-time take
# while every core is busy. Installs nothing: a missing peer or tool skips
# its row with a note.
#
#   bench/compare.sh [BUILD_DIR]     (default: build; RUNS=N, default 7)
#
# CPU is user + system time of the whole process as the kernel accounts it
# to the parent (bash's `time`, millisecond resolution). Runs of zelk and of
# its peer alternate, so a change in the machine's speed hits both; each
# ratio is taken pair by pair.
#
# ZELK=PATH runs that binary instead of BUILD_DIR/zelk (an older build, say;
# the test device still comes from BUILD_DIR). ONLY=stalls runs only the
# last section, the takes whose output stops. AGAINST=PATH runs only the
# CPU rows, each against the zelk at PATH (the build before a change, say)
# in place of the peer, with the same arguments and input.
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(cd "${1:-build}" && pwd)
runs=${RUNS:-7}
zelk=${ZELK:-$build/zelk}
[[ -x $zelk ]] || { echo "no $zelk: build first" >&2; exit 1; }

work=$(mktemp -d)
busy=()
cleanup() {
  for pid in "${busy[@]}"; do kill "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT
printf 'o\n' >"$work/yes"

have() { command -v "$1" >/dev/null 2>&1; }

# CPU seconds of one run of "$@", stdin from $input, output discarded.
input=/dev/null
cpu() {
  local TIMEFORMAT='%3U %3S' t
  t=$({ time "$@" <"$input" >/dev/null 2>&1; } 2>&1)
  awk '{ printf "%.3f", $1 + $2 }' <<<"$t"
}

# "min median max" of the numbers on stdin.
stats() {
  sort -g | awk '{ v[NR] = $1 }
    END { m = NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2
          printf "%.3f %.3f %.3f", v[1], m, v[NR] }'
}

row() { printf '%-34s %-22s %-22s %s\n' "$@"; }
triple() { awk '{ printf "%s / %s / %s", $1, $2, $3 }' <<<"$1"; }

# compare NAME PREP ZELK_INPUT 'ZELK ARGS' 'PEER COMMAND' [PEER_INPUT]
# PREP runs before every run of either, untimed.
compare() {
  local name=$1 prep=$2 zin=$3 zargs=$4 peer=$5 pin=${6:-/dev/null} a b i
  local -a as=() bs=() rs=()
  for ((i = 0; i < runs; i++)); do
    eval "$prep"
    input=$zin
    a=$(cpu "$zelk" $zargs)
    eval "$prep"
    input=$pin
    b=$(cpu $peer)
    as+=("$a") bs+=("$b")
    rs+=("$(awk -v a="$a" -v b="$b" 'BEGIN { printf "%.3f", (b > 0 ? a / b : 0) }')")
  done
  row "$name" "$(triple "$(printf '%s\n' "${as[@]}" | stats)")" \
    "$(triple "$(printf '%s\n' "${bs[@]}" | stats)")" \
    "$(triple "$(printf '%s\n' "${rs[@]}" | stats)")"
}

# A HOME whose .asoundrc names the test device in real time: pcm "paced".
plugin=$build/tests/libasound_module_pcm_zelktest.so
paced_home() {
  [[ -d $work/home ]] && return
  mkdir "$work/home"
  cat >"$work/home/.asoundrc" <<EOF
pcm_type.zelktest { lib "$plugin" }
pcm.paced { type zelktest paced true }
EOF
}

# Every CPU row, zelk against the zelk at $AGAINST.
versus() {
  local other=$1
  # The test device's .asoundrc for both; null is the same with it.
  [[ -f $plugin ]] && paced_home && export HOME=$work/home
  row "take" "zelk" "AGAINST" "zelk / AGAINST"
  compare "24/96 stereo 600 s, null > null" ":" "$work/yes" \
    "2496 600 null s /dev/null" "$other 2496 600 null s /dev/null" "$work/yes"
  mkdir -p "$work/files"
  compare "24/96 dual-mono 60 s, to 2 files" \
    "rm -f '$work'/files/*; sync" /dev/null \
    "2496 60 null 2 $work/files/a.wav $work/files/b.wav" \
    "$other 2496 60 null 2 $work/files/a.wav $work/files/b.wav"
  compare "16/44.1 mono 600 s, null > null" ":" "$work/yes" \
    "1644 600 null 1 /dev/null" "$other 1644 600 null 1 /dev/null" "$work/yes"
  if [[ -f $plugin ]]; then
    compare "paced 24/96 stereo 20 s, to a file" "rm -f '$work/take.wav'" \
      /dev/null "2496 20 paced s $work/take.wav" \
      "$other 2496 20 paced s $work/take.wav"
  fi
}

echo "machine: $(uname -srm), $(nproc) cores," \
  "$(awk -F': ' '/model name/ { print $2; exit }' /proc/cpuinfo)"
echo "command: ${ZELK:+ZELK=$ZELK }${ONLY:+ONLY=$ONLY }bench/compare.sh" \
  "${1:-build}$([[ ${ONLY:-} == stalls ]] || echo "   ($runs alternated runs each)")"
if [[ -n ${AGAINST:-} ]]; then
  echo
  echo "Whole-process CPU seconds, min / median / max; AGAINST=$AGAINST"
  versus "$AGAINST"
  exit 0
fi
if [[ ${ONLY:-} != stalls ]]; then
  echo
  echo "Whole-process CPU seconds, min / median / max"
  row "take" "zelk" "peer" "zelk / peer"
  if have arecord; then
    compare "24/96 stereo 600 s, null > null" ":" "$work/yes" \
      "2496 600 null s /dev/null" \
      "arecord -q -D null -V stereo -f S24_3LE -c 2 -r 96000 -d 600 /dev/null"
  else
    echo "24/96 stereo 600 s: skipped, no arecord (alsa-utils)"
  fi
  mkdir "$work/files"
  compare "24/96 dual-mono 60 s, to 2 files" \
    "rm -f '$work'/files/*; sync" /dev/null \
    "2496 60 null 2 $work/files/a.wav $work/files/b.wav" \
    "dd if=/dev/zero of=$work/files/out.raw bs=12288 count=2814 conv=fsync"
  if have arecord; then
    compare "16/44.1 mono 600 s, null > null" ":" "$work/yes" \
      "1644 600 null 1 /dev/null" \
      "arecord -q -D null -V mono -f S16_LE -c 1 -r 44100 -d 600 /dev/null"
  else
    echo "16/44.1 mono 600 s: skipped, no arecord (alsa-utils)"
  fi
  echo "  peers: arecord -V (level meter on) for the takes to /dev/null; for"
  echo "  the files, dd of the same bytes in the same blocks with conv=fsync"

  echo
  echo "Instructions per sample, 4096-frame blocks (callgrind)"
  if [[ ! -x $build/zelk_kernel_ir ]]; then
    echo "skipped: no $build/zelk_kernel_ir (benchmarks not built)"
  elif ! have valgrind; then
    echo "skipped: no valgrind"
  else
    for kernel in peak16 peak24 interleave16 interleave24; do
      line=$kernel
      # An interleaved sample is one of the two in a frame.
      per=4096000
      [[ $kernel == interleave* ]] && per=8192000
      for version in $("$build/zelk_kernel_ir" versions); do
        ir=$(valgrind --tool=callgrind --toggle-collect=MeasuredBlocks \
          --callgrind-out-file=/dev/null "$build/zelk_kernel_ir" \
          "$kernel" "$version" 1000 2>&1 >/dev/null |
          awk '/Collected/ { print $4 }')
        line+=$(awk -v ir="$ir" -v per="$per" -v v="$version" \
          'BEGIN { printf "   %s %.2f", v, ir / per }')
      done
      echo "$line"
    done
  fi

  echo
  echo "Paced 60 s 24/96 stereo take from the test device, every core busy"
  if [[ ! -f $plugin ]]; then
    echo "skipped: no $plugin (tests not built)"
  elif [[ ! -x /usr/bin/time ]]; then
    echo "skipped: no /usr/bin/time (the time package)"
  else
    paced_home
    for ((i = 0; i < $(nproc); i++)); do
      (while :; do :; done) &
      busy+=("$!")
    done
    HOME=$work/home /usr/bin/time -f '%e %U %S %M' -o "$work/time" \
      "$zelk" 2496 60 paced s /dev/null <"$work/yes" >"$work/paced.out" 2>&1
    for pid in "${busy[@]}"; do kill "$pid" 2>/dev/null || true; done
    busy=()
    # 1407 periods of 4096 frames: the take lasts 60.032 s of device time. Like
    # a sound card, the test device overruns when zelk falls a buffer (32768
    # frames, 0.34 s) behind; time past 60.032 s is how late the last read was.
    read -r wall user sys rss <"$work/time"
    overruns=$(awk -F'= ' '/Record Overruns/ { print $2 }' "$work/paced.out")
    awk -v w="$wall" -v u="$user" -v s="$sys" -v m="$rss" -v o="${overruns:-0}" \
      'BEGIN { printf "overruns %d   late %.2f s   cpu %.2f s = %.2f%% of one core   max RSS %d KiB\n",
               o, w - 60.032, u + s, 100 * (u + s) / w, m }'
  fi
fi

# paced: a 20 s 24/96 stereo take into a file from the test device in real
# time, zelk against arecord with the same period and buffer (arecord draws
# no meter), alternated: CPU seconds and wake-ups (voluntary context
# switches) a period, 469 periods of 4096 frames.
paced() {
  local i t zc=() ac=() zw=() aw=() rs=()
  for ((i = 0; i < runs; i++)); do
    rm -f "$work/take.wav"
    HOME=$work/home /usr/bin/time -f '%U %S %w' -o "$work/time" "$zelk" 2496 20 paced s \
      "$work/take.wav" </dev/null >/dev/null 2>&1
    read -r u s w <"$work/time"
    zc+=("$(awk -v u="$u" -v s="$s" 'BEGIN { printf "%.3f", u + s }')")
    zw+=("$(awk -v w="$w" 'BEGIN { printf "%.2f", w / 469 }')")
    rm -f "$work/take.wav"
    HOME=$work/home /usr/bin/time -f '%U %S %w' -o "$work/time" arecord -q -D paced \
      -f S24_3LE -c 2 -r 96000 -d 20 --period-size=4096 --buffer-size=32768 \
      "$work/take.wav" </dev/null >/dev/null 2>&1
    read -r u s w <"$work/time"
    ac+=("$(awk -v u="$u" -v s="$s" 'BEGIN { printf "%.3f", u + s }')")
    aw+=("$(awk -v w="$w" 'BEGIN { printf "%.2f", w / 469 }')")
    rs+=("$(awk -v a="${zc[-1]}" -v b="${ac[-1]}" 'BEGIN { printf "%.3f", (b > 0 ? a / b : 0) }')")
  done
  row "cpu s" "$(triple "$(printf '%s\n' "${zc[@]}" | stats)")" \
    "$(triple "$(printf '%s\n' "${ac[@]}" | stats)")" \
    "$(triple "$(printf '%s\n' "${rs[@]}" | stats)")"
  row "wake-ups a period" "$(triple "$(printf '%s\n' "${zw[@]}" | stats)")" \
    "$(triple "$(printf '%s\n' "${aw[@]}" | stats)")" ""
}

# stall KIND READ STOP SECONDS: one paced 24/96 stereo take of SECONDS by
# zelk, then by arecord, whose output stops after READ seconds for STOP
# seconds: KIND disk, the audio goes to a FIFO its reader stops reading;
# KIND console, the console output (stdout and stderr, arecord's meter on)
# goes to a full pipe of one page nobody reads. bench/stall.py runs each and
# finds the audio lost from the test device's content, which numbers every
# frame it produces: the device frames between the first and the last that
# reached the file, less those that did. (A program that falls behind the
# device loses what the device drops, and ends that much later: zelk writes
# silence for the rest of the period it was reading, arecord nothing.)
stall() {
  local kind=$1 read=$2 stop=$3 seconds=$4 audio name z a
  name="$kind stops $stop s, $seconds s take"
  if [[ $kind == disk ]]; then
    audio=$work/fifo
    rm -f "$audio"
    mkfifo "$audio"
  else
    audio=$work/take.wav
  fi
  rm -f "$work/take.wav"
  z=$(HOME=$work/home python3 bench/stall.py "$kind" "$read" "$stop" \
    "$audio" "$work/stall.log" -- \
    "$zelk" 2496 "$seconds" paced s "$audio" <"$work/yes")
  if have arecord; then
    rm -f "$work/take.wav"
    local meter=()
    [[ $kind == console ]] && meter=(-V stereo)
    a=$(HOME=$work/home python3 bench/stall.py "$kind" "$read" "$stop" \
      "$audio" "$work/stall.log" -- arecord "${meter[@]}" -D paced \
      -f S24_3LE -c 2 -r 96000 -d "$seconds" "$audio" </dev/null)
    a=$(triple "$a")
  else
    a="skipped, no arecord (alsa-utils)"
  fi
  row3 "$name" "$(triple "$z")" "$a"
}
row3() { printf '%-34s %-28s %s\n' "$@"; }

if [[ ${ONLY:-} != stalls ]]; then
  echo
  echo "Paced 20 s 24/96 stereo take from the test device into a file, min / median / max"
  if [[ ! -f $plugin ]] || ! have arecord || [[ ! -x /usr/bin/time ]]; then
    echo "skipped: needs the test device (tests built), arecord and /usr/bin/time"
  else
    paced_home
    row "" "zelk" "arecord" "zelk / arecord"
    paced
    echo "  arecord with the same period and buffer (--period-size=4096"
    echo "  --buffer-size=32768), which draws no meter"
  fi
fi

echo
echo "Paced 24/96 stereo takes from the test device while the output stops, one run each"
if [[ ! -f $plugin ]]; then
  echo "skipped: no $plugin (tests not built)"
elif ! have python3; then
  echo "skipped: no python3"
else
  paced_home
  row3 "take" "zelk" "arecord"
  row3 "" "overruns / lost s / wall s" "overruns / lost s / wall s"
  stall disk 0.5 3 4
  # The stop outlasts zelk's ten-second ring; the take outlasts the stop.
  stall disk 0.5 12 13
  stall console 0.5 3 4
  if [[ $(id -u) -eq 0 ]]; then
    busy=$(nproc)
    z=$(HOME=$work/home python3 bench/stall.py busy "$busy" 0 "$work/take.wav" \
      "$work/stall.log" -- "$zelk" 2496 30 paced s "$work/take.wav" <"$work/yes")
    a="skipped, no arecord (alsa-utils)"
    if have arecord; then
      rm -f "$work/take.wav"
      a=$(triple "$(HOME=$work/home python3 bench/stall.py busy "$busy" 0 \
        "$work/take.wav" "$work/stall.log" -- arecord -D paced -f S24_3LE -c 2 \
        -r 96000 -d 30 "$work/take.wav" </dev/null)")
    fi
    rm -f "$work/take.wav"
    row3 "$busy busy loops at nice -20, 30 s take" "$(triple "$z")" "$a"
  else
    echo "busy loops at nice -20: skipped, only root may run them"
  fi
  echo "  disk: the take goes to a FIFO whose reader stops; console: stdout"
  echo "  and stderr go to a full 4096-byte pipe (arecord -V stereo); audio"
  echo "  lost is counted from the device's numbered frames; busy: one loop"
  echo "  at nice -20 a core, while zelk's capture thread runs first-in"
  echo "  first-out where it may (root)"
fi
