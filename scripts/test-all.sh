#!/usr/bin/env bash
# Runs every test layer and ends with one line: "N passed, N failed".
#  1. native unit tests against the fake Windows, built with AddressSanitizer
#     and UndefinedBehaviorSanitizer, and the fuzz targets over their corpora;
#  2. the same unit tests cross-built for i686 and run under WOW64 (the win32
#     backend as the release meets it), and for x86_64 (see below);
#  3. end-to-end runs of the release, build/win32/Corvex.exe, under WOW64 in
#     a 64-bit Wine prefix (scripts/release-exe.sh falls back to the x86_64
#     build, with one warning line, where 32-bit Wine cannot run);
#  4. the program in a terminal (tmux), as a person sees its console (the
#     x86_64 build where 32-bit Wine runs on an emulated CPU);
#  5. the crash case against the x86_64 test build, which can crash on purpose.
# Builds are incremental: what is up to date is not built again. One Wine
# prefix serves the whole run and is made afresh at its start.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

"$root/scripts/setup.sh" || { echo "set-up failed"; echo "0 passed, 1 failed"; exit 1; }

passed=0
failed=0
# Each section's header says when it began, to see where the time goes.
section() { printf '== %s  [%dm%02ds]\n' "$1" $((SECONDS / 60)) $((SECONDS % 60)); }
results="$root/build/results"
rm -rf "$results"
mkdir -p "$results"

# Adds the counts of a GoogleTest run's output; a run that crashed or
# printed no summary counts as one failure.
count_gtest() {
  local out=$1 p f
  p=$(grep -E '^\[  PASSED  \] [0-9]+ test' "$out" | tail -1 | grep -oE '[0-9]+' | head -1)
  f=$(grep -E '^\[  FAILED  \] [0-9]+ test' "$out" | tail -1 | grep -oE '[0-9]+' | head -1)
  if [ -z "$p" ] && [ -z "$f" ]; then
    failed=$((failed + 1))
    echo "  no test summary in $out"
    return
  fi
  # The Windows builds' printer leaves out the failure count: count the
  # failed tests it names instead.
  [ -n "$f" ] || f=$(grep -cE '^\[  FAILED  \] [A-Za-z]' "$out" || true)
  passed=$((passed + ${p:-0}))
  failed=$((failed + ${f:-0}))
  grep -E '^\[  FAILED  \] [A-Za-z]' "$out" | sed 's/^/  /' || true
}

# Adds the PASS and FAIL lines of a runner's output; a runner that printed
# neither counts as one failure.
count_cases() {
  local out=$1 p f
  p=$(grep -cE '^PASS ' "$out")
  f=$(grep -cE '^FAIL ' "$out")
  grep -E '^FAIL ' "$out" | sed 's/^/  /'
  if [ "$p" -eq 0 ] && [ "$f" -eq 0 ]; then
    f=1
    echo "  no PASS or FAIL line in $out:"
    tail -5 "$out" | sed 's/^/    /'
  fi
  passed=$((passed + p))
  failed=$((failed + f))
}

# The native suite runs once, in the sanitized build: a plain build would
# pass no test the sanitized one fails, and costs a full build.
section "native build and unit tests (AddressSanitizer, UndefinedBehaviorSanitizer)"
if "$root/scripts/build.sh" sanitize; then
  ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
    "$root/build/sanitize/corvex_tests" --gtest_brief=1 >"$results/sanitize.txt" 2>&1
  count_gtest "$results/sanitize.txt"
else
  failed=$((failed + 1))
fi

# Every fuzz target over its corpus (each input found so far, crashes
# included, stays tested) and a few seconds of fuzzing; one PASS or FAIL each.
section "fuzz targets (clang, AddressSanitizer, UndefinedBehaviorSanitizer)"
"$root/scripts/fuzz.sh" 3 >"$results/fuzz.txt" 2>&1
fp=$(grep -cE '^PASS ' "$results/fuzz.txt")
ff=$(grep -cE '^FAIL ' "$results/fuzz.txt")
grep -E '^FAIL ' "$results/fuzz.txt" | sed 's/^/  /'
[ "$fp" -eq 0 ] && [ "$ff" -eq 0 ] && { ff=1; tail -5 "$results/fuzz.txt" | sed 's/^/  /'; }
passed=$((passed + fp))
failed=$((failed + ff))

section "Windows builds (i686 release, x86_64 for Wine)"
"$root/scripts/build.sh" win32 || failed=$((failed + 1))
win64_built=false
"$root/scripts/build.sh" win64 && win64_built=true || failed=$((failed + 1))

export CORVEX_WINEPREFIX="$root/build/wineprefix"
rm -rf "$CORVEX_WINEPREFIX" "$CORVEX_WINEPREFIX.lock"

# The i686 tests are the ones that matter for the release: the win32 backend
# under WOW64. Where 32-bit Wine runs on an emulated CPU (kernels without
# 32-bit support), it cannot dispatch exceptions, so the few fake-only tests
# that throw a simulated crash leave this run, and so do the child-process
# tests, whose 32-bit cmd.exe children the emulator now and then kills with
# an illegal instruction, and the fake's test from several threads, whose
# threads cannot be started there (std::thread fails with "Cannot allocate
# memory" and the abort that follows stalls the emulated Wine); the x86_64
# run keeps all three.
if [ -f "$root/build/win32/corvex_tests.exe" ] && /usr/lib/wine/wine --version >/dev/null 2>&1; then
  section "i686 unit tests under WOW64"
  filter='*'
  if [ -e /proc/sys/fs/binfmt_misc/qemu-i386 ]; then
    filter='-CrashSurvival.*:FakeFaults.*:Win32Processes.*:FakeFileSystemThreads.*'
    echo "   (32-bit Wine on an emulated CPU: the simulated-crash, child-process and thread tests run in the x86_64 run only)"
  fi
  # The suite needs well under a minute. Under the emulator, Wine now and
  # then stalls for good in a server call, so the suite runs in four shards
  # (GoogleTest's own sharding): a shard that ends without a summary (stalled
  # and stopped by the time limit, or killed) runs again, up to five times,
  # after the prefix's server is ended; each stalled output is kept.
  shards=4
  for ((shard = 0; shard < shards; shard++)); do
    out="$results/wine-i686-$shard.txt"
    for attempt in 1 2 3 4 5; do
      GTEST_TOTAL_SHARDS=$shards GTEST_SHARD_INDEX=$shard \
        "$root/scripts/wine-run.sh" -t 300 "$root/build/win32/corvex_tests.exe" --gtest_brief=1 \
        --gtest_filter="$filter" >"$out" 2>&1 </dev/null
      if grep -qE '^\[  (PASSED|FAILED)  \] [0-9]+ test' "$out" || [ $attempt = 5 ]; then break; fi
      mv "$out" "$results/wine-i686-$shard-stalled-$attempt.txt"
      WINEPREFIX="$CORVEX_WINEPREFIX" /usr/lib/wine/wineserver -k </dev/null >/dev/null 2>&1 || true
      echo "   shard $shard ended without a summary (see wine-i686-$shard-stalled-$attempt.txt); running it once more"
    done
    count_gtest "$out"
  done
fi
# The x86_64 build proves what the i686 run above cannot: the whole suite,
# simulated crashes included, built by the Windows tool chain and run on
# Windows' C++ runtime.
if $win64_built; then
  section "x86_64 unit tests under Wine"
  "$root/scripts/wine-run.sh" -t 1200 "$root/build/win64/corvex_tests.exe" --gtest_brief=1 \
    >"$results/wine.txt" 2>&1 </dev/null
  count_gtest "$results/wine.txt"
fi

# The warning line, if any, goes to the terminal once.
if exe=$("$root/scripts/release-exe.sh"); then
  section "end-to-end: $(basename "$(dirname "$exe")")/Corvex.exe under Wine"
  # One case at a time: two 32-bit Wines on an emulated CPU at once made
  # runs stall or fail far more often, and the run as a whole slower.
  "$root/tests/e2e/run.sh" "$exe" >"$results/e2e.txt" 2>&1
  count_cases "$results/e2e.txt"
  # 32-bit Wine on an emulated CPU faults now and then while a real console
  # waits for a key ("qemu: uncaught target signal 11"; the same waits pass
  # with redirected input above), so there the terminal runs the x86_64
  # build of the same program.
  console_exe=$exe
  if [ -e /proc/sys/fs/binfmt_misc/qemu-i386 ] && $win64_built; then
    console_exe="$root/build/win64/Corvex.exe"
  fi
  section "console in a terminal (tmux): $(basename "$(dirname "$console_exe")")/Corvex.exe"
  "$root/tests/console/run.sh" "$console_exe" >"$results/console.txt" 2>&1
  count_cases "$results/console.txt"
  # Nothing can make the release fault on purpose, so the crash case runs
  # against the x86_64 test build, which faults on CORVEX_TEST_CRASH=1; so
  # do the cases whose program starts threads where 32-bit Wine runs on an
  # emulated CPU.
  if $win64_built && [ "$exe" != "$root/build/win64/Corvex.exe" ]; then
    section "crash handling and threads: win64/Corvex.exe (a test build) under Wine"
    wanted=(crash_)
    [ -e /proc/sys/fs/binfmt_misc/qemu-i386 ] && wanted+=(packages_from_microsoft)
    "$root/tests/e2e/run.sh" "$root/build/win64/Corvex.exe" "${wanted[@]}" >"$results/e2e-crash.txt" 2>&1
    count_cases "$results/e2e-crash.txt"
  fi
else
  failed=$((failed + 1))
fi

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
