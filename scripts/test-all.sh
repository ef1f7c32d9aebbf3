#!/usr/bin/env bash
# Runs every test layer and ends with one line: "N passed, N failed".
#  1. native unit tests against the fake Windows;
#  2. the same unit tests cross-built for x86_64 Windows, under Wine;
#  3. end-to-end runs of the real Corvex.exe under Wine.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

"$root/scripts/setup.sh" || { echo "set-up failed"; echo "0 passed, 1 failed"; exit 1; }

passed=0
failed=0
results="$root/build/results"
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
  passed=$((passed + ${p:-0}))
  failed=$((failed + ${f:-0}))
  grep -E '^\[  FAILED  \] [A-Za-z]' "$out" | sed 's/^/  /' || true
}

echo "== native build"
if "$root/scripts/build.sh" native; then
  echo "== native unit tests"
  "$root/build/native/corvex_tests" --gtest_brief=1 >"$results/native.txt" 2>&1
  count_gtest "$results/native.txt"
else
  failed=$((failed + 1))
fi

# Every fuzz target over its corpus (each input found so far, crashes
# included, stays tested) and a few seconds of fuzzing; one PASS or FAIL each.
echo "== fuzz targets (clang, AddressSanitizer, UndefinedBehaviorSanitizer)"
"$root/scripts/fuzz.sh" 5 >"$results/fuzz.txt" 2>&1
fp=$(grep -cE '^PASS ' "$results/fuzz.txt")
ff=$(grep -cE '^FAIL ' "$results/fuzz.txt")
grep -E '^FAIL ' "$results/fuzz.txt" | sed 's/^/  /'
[ "$fp" -eq 0 ] && [ "$ff" -eq 0 ] && { ff=1; tail -5 "$results/fuzz.txt" | sed 's/^/  /'; }
passed=$((passed + fp))
failed=$((failed + ff))

echo "== Windows builds (i686 release, x86_64 for Wine)"
"$root/scripts/build.sh" win32 || failed=$((failed + 1))
if "$root/scripts/build.sh" win64; then
  export CORVEX_WINEPREFIX="$root/build/wineprefix"
  rm -rf "$CORVEX_WINEPREFIX"
  echo "== unit tests under Wine"
  "$root/scripts/wine-run.sh" -t 1200 "$root/build/win64/corvex_tests.exe" --gtest_brief=1 \
    >"$results/wine.txt" 2>&1 </dev/null
  count_gtest "$results/wine.txt"
  echo "== end-to-end under Wine"
  "$root/tests/e2e/run.sh" "$root/build/win64/Corvex.exe" >"$results/e2e.txt" 2>&1
  p=$(grep -cE '^PASS ' "$results/e2e.txt")
  f=$(grep -cE '^FAIL ' "$results/e2e.txt")
  grep -E '^FAIL ' "$results/e2e.txt" | sed 's/^/  /'
  [ "$p" -eq 0 ] && [ "$f" -eq 0 ] && f=1
  passed=$((passed + p))
  failed=$((failed + f))
else
  failed=$((failed + 1))
fi

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
