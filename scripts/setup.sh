#!/usr/bin/env bash
# Installs what zelk's build and tests need, from Debian's packages, and the
# packages named as arguments. Returns at once when everything is already
# there.
set -euo pipefail

packages=(
  g++ cmake make pkg-config      # toolchain
  libasound2-dev                 # the capture interface
  libgtest-dev libbenchmark-dev  # unit tests and benchmarks
  python3 libsndfile1            # end-to-end tests; an independent reader of the files
  man-db                         # man, to check the manual page
  dpkg-dev                       # dpkg-shlibdeps, for the .deb's dependencies
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
[[ $(id -u) -eq 0 ]] || sudo=(sudo)
echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -q
"${sudo[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}" </dev/null
