#!/usr/bin/env bash
# Installs the Debian packages that the build, the tests and the benchmarks need.
set -euo pipefail
packages=(
  cmake g++ clang libclang-rt-14-dev ccache libgtest-dev libbenchmark-dev
  libx11-dev libxtst-dev xvfb x11-utils
  libasound2-dev alsa-utils
  fonts-dejavu-core fonts-urw-base35 t1utils python3-freetype
  lua5.4 time python3 python3-pil
)
missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo=""; [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}"
fi
