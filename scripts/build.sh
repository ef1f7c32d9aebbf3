#!/usr/bin/env bash
# Builds one flavour: native (unit tests), sanitize (the unit tests with
# AddressSanitizer and UndefinedBehaviorSanitizer), fuzz (the libFuzzer
# targets, clang), win32 (the release Corvex.exe and the unit tests, i686)
# or win64 (the same for x86_64).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
flavour=${1:-native}
case "$flavour" in
  native) args=(-DCMAKE_BUILD_TYPE=Debug) ;;
  sanitize) args=(-DCMAKE_BUILD_TYPE=Debug -DCORVEX_SANITIZE=ON) ;;
  # -O1 with line tables: stack traces keep their lines, and the build takes
  # about half the time of -O2 -g.
  fuzz) args=(-DCMAKE_BUILD_TYPE=RelWithDebInfo "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O1 -gline-tables-only -DNDEBUG"
              -DCORVEX_FUZZ=ON -DCORVEX_TESTS=OFF
              -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14) ;;
  # The release: -O2 rather than CMake's -O3, the usual level for a program
  # whose speed is its disk's.
  win32) args=(-DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-i686.cmake" -DCMAKE_BUILD_TYPE=Release
               "-DCMAKE_CXX_FLAGS_RELEASE=-O2 -DNDEBUG") ;;
  # The x86_64 build is a test build: never shipped, it carries the hook
  # that makes it crash on purpose for the crash-handling case. -O1 builds
  # it in about two thirds of the time.
  win64) args=(-DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-x86_64.cmake" -DCMAKE_BUILD_TYPE=Release
               "-DCMAKE_CXX_FLAGS_RELEASE=-O1 -DNDEBUG"
               -DCORVEX_TEST_HOOKS=ON) ;;
  *) echo "usage: $0 native|sanitize|fuzz|win32|win64" >&2; exit 2 ;;
esac
# Every flavour but the developers' native one compiles in batches: about
# twice as fast from scratch.
[ "$flavour" = native ] || args+=(-DCORVEX_UNITY=ON)
log="$root/build/$flavour.log"
mkdir -p "$root/build"
if ! { cmake -S "$root" -B "$root/build/$flavour" -G Ninja "${args[@]}" && ninja -C "$root/build/$flavour"; } >"$log" 2>&1; then
  tail -40 "$log" >&2
  echo "build of $flavour failed (full log: $log)" >&2
  exit 1
fi
