#!/usr/bin/env bash
# Builds the fuzz flavour (clang, AddressSanitizer, UndefinedBehaviorSanitizer)
# and runs every libFuzzer target, one per core at a time, for the given seconds each
# (default 60), starting from its corpus in tests/fuzz/corpus/<target>.
# Prints one line per target: "PASS <target> ..." or "FAIL <target> ...".
#
#   scripts/fuzz.sh [seconds] [target...]
#
# Inputs the fuzzer finds new go to build/fuzz-work/<target>/corpus, never into
# the tracked corpus; a crash, hang, leak or broken property leaves its input in
# build/fuzz-work/<target>/ (crash-*, timeout-*, leak-*, oom-*). Copy such an
# input into the target's corpus folder with the fix, so it stays tested.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-60}
shift || true

if ! command -v clang++-14 >/dev/null || [ ! -e /usr/lib/llvm-14/lib/clang/14.0.6/lib/linux/libclang_rt.fuzzer-x86_64.a ]; then
  "$root/scripts/setup.sh" || exit 1
fi
"$root/scripts/build.sh" fuzz || { echo "FAIL fuzz build"; exit 1; }
bin="$root/build/fuzz/tests/fuzz/corvex_fuzz"

# Largest input per target: a few times the largest real file of its kind.
max_len() {
  case "$1" in
    fuzz_zip | fuzz_seven_zip) echo 65536 ;;
    fuzz_continuation) echo 8192 ;;
    *) echo 16384 ;;
  esac
}

targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for dir in "$root"/tests/fuzz/corpus/*/; do targets+=("$(basename "$dir")"); done
fi

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:allocator_may_return_null=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
# One target's run; prints its PASS or FAIL line.
fuzz_one() {
  local t=$1 work="$root/build/fuzz-work/$1" rc runs cov found reason
  mkdir -p "$work/corpus"
  rm -f "$work"/crash-* "$work"/timeout-* "$work"/leak-* "$work"/oom-* "$work"/slow-unit-*
  if [ ! -d "$root/tests/fuzz/corpus/$t" ] || ! grep -qx "  $t" "$root/build/fuzz-work/targets.txt"; then
    echo "FAIL $t: no such target"
    return 1
  fi
  CORVEX_FUZZ_TARGET=$t "$bin" -max_len="$(max_len "$t")" -timeout=10 -rss_limit_mb=2048 -max_total_time="$seconds" \
    -print_final_stats=1 -artifact_prefix="$work/" "$work/corpus" "$root/tests/fuzz/corpus/$t" \
    >"$work/log.txt" 2>&1
  rc=$?
  runs=$(grep -aoE 'stat::number_of_executed_units: [0-9]+' "$work/log.txt" | grep -oE '[0-9]+$' | tail -1)
  cov=$(grep -aoE 'cov: [0-9]+' "$work/log.txt" | tail -1 | grep -oE '[0-9]+')
  found=$(ls "$work" | grep -E '^(crash|timeout|leak|oom)-' | head -1)
  if [ "$rc" -eq 0 ] && [ -z "$found" ]; then
    echo "PASS $t: ${runs:-?} runs in ${seconds} s, coverage ${cov:-?}, no crash, hang or leak"
  else
    reason=$(grep -a -m1 -oE 'ERROR: (AddressSanitizer|LeakSanitizer|libFuzzer): [a-z-]+[^ ]*|runtime error: .*|FUZZ_CHECK failed.*|SUMMARY: .*' "$work/log.txt" | head -1)
    echo "FAIL $t: ${runs:-?} runs, exit $rc, ${reason:-see log}; input ${found:+$work/$found}; log $work/log.txt"
    return 1
  fi
}

# The program lists its targets when none is named.
mkdir -p "$root/build/fuzz-work"
CORVEX_FUZZ_TARGET= "$bin" -runs=0 >"$root/build/fuzz-work/targets.txt" 2>&1

# Each run takes one core: as many at once as there are cores. Lines come
# out in the targets' order.
jobs=$(nproc 2>/dev/null || echo 2)
status=0
for ((i = 0; i < ${#targets[@]}; i += jobs)); do
  batch=("${targets[@]:i:jobs}")
  for t in "${batch[@]}"; do fuzz_one "$t" >"$root/build/fuzz-work/$t.result" & done
  wait
  for t in "${batch[@]}"; do
    cat "$root/build/fuzz-work/$t.result"
    grep -q '^PASS ' "$root/build/fuzz-work/$t.result" || status=1
  done
done
exit $status
