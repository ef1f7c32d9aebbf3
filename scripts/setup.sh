#!/usr/bin/env bash
# Installs the Debian packages the builds and tests need, only those missing.
set -euo pipefail

packages=(
  cmake ninja-build g++ pkg-config python3 zip unzip
  libgtest-dev libgmock-dev googletest zlib1g-dev libssl-dev libboost1.81-dev
  clang-14 libclang-rt-14-dev libfuzzer-14-dev llvm-14
  g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix libz-mingw-w64-dev
  wine wine64
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi
echo "Installing: ${missing[*]}"
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO=sudo
export DEBIAN_FRONTEND=noninteractive
if ! $SUDO apt-get install -y --no-install-recommends "${missing[@]}"; then
  $SUDO apt-get update
  $SUDO apt-get install -y --no-install-recommends "${missing[@]}"
fi
