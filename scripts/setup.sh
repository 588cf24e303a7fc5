#!/usr/bin/env bash
# Installs what zelk's build and tests need, from Debian's packages, and the
# packages named as arguments. Returns at once when everything is already
# there.
set -euo pipefail

packages=(
  g++ cmake make pkg-config      # toolchain
  clang-tidy                     # the program's sources checked
  libasound2-dev                 # the capture interface
  libgtest-dev libbenchmark-dev  # unit tests and benchmarks
  python3 libsndfile1            # end-to-end tests; an independent reader of the files
  man-db                         # man, to check the manual page
  bash-completion                # the helpers the completion calls
  build-essential debhelper lintian  # the Debian package, built and checked
  alsa-utils time valgrind       # the benchmark's peer, timer and counter
  pipewire pipewire-bin wireplumber pipewire-pulse dbus  # a real sound server for the
  pipewire-alsa libasound2-plugins pulseaudio-utils      # tests: its ALSA devices and pactl
)

packages+=("$@")  # and whatever the caller names, such as NAME:arm64

# Installed for the architecture named (NAME:ARCH) or else this machine's, or
# for all: with another architecture added, libasound2-dev:arm64 alone must
# not pass for libasound2-dev.
native=$(dpkg --print-architecture)
missing=()
for package in "${packages[@]}"; do
  arch=$native
  [[ $package == *:* ]] && arch=${package#*:}
  status=$(dpkg-query -W -f='${Status} ${Architecture}\n' "$package" 2>/dev/null || true)
  grep -qE "^install ok installed ($arch|all)\$" <<<"$status" || missing+=("$package")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

sudo=()
if [[ $(id -u) -ne 0 ]]; then
  command -v sudo >/dev/null ||
    { echo "Missing: ${missing[*]}; install them as root, or install sudo" >&2; exit 1; }
  sudo=(sudo)
fi
echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -q
"${sudo[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}" </dev/null
