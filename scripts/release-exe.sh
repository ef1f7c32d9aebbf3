#!/usr/bin/env bash
# Prints the Corvex.exe that end-to-end runs should use: the release,
# build/win32/Corvex.exe (32-bit, run under WOW64 in a 64-bit prefix), when
# 32-bit Wine can run here. Otherwise prints build/win64/Corvex.exe and one
# warning line on standard error saying why the release is not the one
# tested. Exits 1 when neither program is built.
set -u
root=$(cd "$(dirname "$0")/.." && pwd)
release=$root/build/win32/Corvex.exe
fallback=$root/build/win64/Corvex.exe
loader=/usr/lib/wine/wine

reason=
if [ ! -f "$release" ]; then
  reason="build/win32/Corvex.exe is not built"
elif [ ! -x "$loader" ]; then
  reason="Debian's 32-bit Wine (wine32:i386) is not installed"
elif ! "$loader" --version >/dev/null 2>&1; then
  reason="this kernel cannot run 32-bit Wine and qemu-i386 is not registered"
fi

if [ -z "$reason" ]; then
  echo "$release"
  exit 0
fi
if [ ! -f "$fallback" ]; then
  echo "release-exe: $reason, and build/win64/Corvex.exe is not built either" >&2
  exit 1
fi
echo "WARNING: NOT TESTING THE 32-BIT RELEASE UNDER WOW64 ($reason): running the x86_64 build instead" >&2
echo "$fallback"
