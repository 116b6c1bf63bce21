#!/usr/bin/env bash
# Installs every Debian package the build, the tests and the benchmarks need.
# Skips what is already there and never asks questions.
set -euo pipefail

PACKAGES=(
  build-essential cmake ninja-build pkg-config git
  g++ clang libclang-rt-14-dev
  libgtest-dev googletest libbenchmark-dev
  libcups2-dev cups cups-client cups-bsd
  mingw-w64 g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix
  wine wine64
  xvfb x11-utils imagemagick
  zip unzip python3 valgrind util-linux procps attr e2fsprogs
  systemd lintian dpkg-dev man-db nsis
  prometheus-node-exporter prometheus
)

# The Raspberry Pi builds: Debian's cross compilers, the target's libraries
# by multiarch, and qemu-user to run their tests.
ARCHES=(arm64 armhf)
PACKAGES+=(crossbuild-essential-arm64 crossbuild-essential-armhf qemu-user)
for a in "${ARCHES[@]}"; do PACKAGES+=("libcups2-dev:$a" "libstdc++6:$a"); done

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "install-deps: everything is present"
  exit 0
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
for a in "${ARCHES[@]}"; do
  dpkg --print-foreign-architectures | grep -qx "$a" || $SUDO dpkg --add-architecture "$a"
done
export DEBIAN_FRONTEND=noninteractive
echo "install-deps: installing ${missing[*]}"
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
echo "install-deps: done"
