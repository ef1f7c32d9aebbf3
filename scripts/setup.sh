#!/usr/bin/env bash
# Installs the Debian packages the builds and tests need, only those missing,
# and makes 32-bit Windows programs runnable under Wine: the release is a
# 32-bit program and its end-to-end tests run it under WOW64 in a 64-bit
# prefix. When everything is in place this is a quick no-op.
set -euo pipefail

packages=(
  cmake ninja-build g++ pkg-config python3 zip unzip tmux
  libgtest-dev libgmock-dev googletest zlib1g-dev libssl-dev libboost1.81-dev
  clang-14 libclang-rt-14-dev libfuzzer-14-dev llvm-14
  g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix libz-mingw-w64-dev
  libwim-dev libmspack-dev libmsi-dev libglib2.0-dev msitools gcab
  wine wine64
)

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO=sudo
export DEBIAN_FRONTEND=noninteractive

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }

# One query for all of them: a check per package costs seconds.
mapfile -t missing < <(
  comm -23 <(printf '%s\n' "${packages[@]}" | sort -u) \
    <(dpkg-query -W -f='${Package} ${Status}\n' "${packages[@]}" 2>/dev/null |
      awk '$NF == "installed" && $(NF-1) == "ok" { print $1 }' | sort -u))
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  if ! $SUDO apt-get install -y --no-install-recommends "${missing[@]}"; then
    $SUDO apt-get update
    $SUDO apt-get install -y --no-install-recommends "${missing[@]}"
  fi
fi

# --- 32-bit Wine (WOW64) -----------------------------------------------------
# Nothing below stops the set-up: without 32-bit Wine the tests fall back to
# the x86_64 build and say so (scripts/release-exe.sh).
wine32_loader=/usr/lib/wine/wine

if ! installed wine32:i386; then
  echo "Installing: wine32:i386"
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    $SUDO dpkg --add-architecture i386
  fi
  if ! { $SUDO apt-get update && $SUDO apt-get install -y --no-install-recommends wine32:i386; }; then
    echo "setup: wine32:i386 could not be installed (is the i386 package index reachable?);" \
      "32-bit programs cannot run under Wine here" >&2
    exit 0
  fi
fi

# Some kernels are built without 32-bit support: the loader is there but
# cannot be executed. qemu-i386, registered with binfmt_misc, runs it then.
if [ -x "$wine32_loader" ] && ! "$wine32_loader" --version >/dev/null 2>&1; then
  binfmt=/proc/sys/fs/binfmt_misc
  qemu=/usr/bin/qemu-i386-static
  if ! installed qemu-user-static; then
    echo "Installing: qemu-user-static (this kernel cannot run 32-bit programs)"
    $SUDO apt-get install -y --no-install-recommends qemu-user-static ||
      { $SUDO apt-get update && $SUDO apt-get install -y --no-install-recommends qemu-user-static; } ||
      echo "setup: qemu-user-static could not be installed" >&2
  fi
  if [ -x "$qemu" ]; then
    [ -e "$binfmt/register" ] || $SUDO mount -t binfmt_misc binfmt_misc "$binfmt" 2>/dev/null || true
    if [ -e "$binfmt/register" ] && [ ! -e "$binfmt/qemu-i386" ]; then
      # i386 ELF executables and shared objects; "F" opens qemu now, so the
      # registration also serves processes in other mount namespaces.
      printf '%s' ':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-i386-static:F' |
        $SUDO tee "$binfmt/register" >/dev/null || true
    fi
  fi
  if ! "$wine32_loader" --version >/dev/null 2>&1; then
    echo "setup: this kernel cannot run 32-bit programs and qemu-i386 could not be registered;" \
      "32-bit programs cannot run under Wine here" >&2
  fi
fi
exit 0
