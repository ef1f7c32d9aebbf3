#!/usr/bin/env bash
# Benchmark, not a test: builds the native benchmark (Release) and prints one
# line per figure:
#   datablock store: 10000 adds in S s (1000 adds in S s)
#   zip extraction: S s; unzip: S s
#   store schema: K keys/s clean (S s), K keys/s with 10% failing f! names (S s)
#   registry flash scan: N keys in S s, N submitted, peak K kB
#   package extraction, 1 worker: N files in S s, peak K kB
#   package extraction, 3 workers: N files in S s, peak K kB, Nx
#   package extraction scaling: PASS|FAIL (3 workers Nx faster than 1, target 1.8x; two busy threads Nx)
# `scripts/bench.sh packages` builds and prints only the package lines;
# its exit code is 1 when the scaling fails.
# The datablock figure is CreateDataBlocks:: against the fake Windows, in
# processor seconds: it is all in memory, and on a shared machine the wall
# time says more about the neighbours than about the code. The
# zip figure extracts a 2,000-entry archive of about 118 MB (made here once)
# onto the real disk: our extractor runs natively through a POSIX-backed
# file system (bench/posix_filesystem.*), beside `unzip -o -q` into the
# same disk, in wall seconds. Each figure is the best of three runs. Needs cmake, ninja, g++,
# python3 and unzip (scripts/setup.sh installs them).
set -euo pipefail
only=${1:-all}
case "$only" in all|packages) ;; *) echo "usage: $0 [packages]" >&2; exit 2 ;; esac
root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build/bench"
work="$build/data"
mkdir -p "$work"
log="$build.log"
if ! { cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCORVEX_TESTS=OFF &&
       if [ "$only" = packages ]; then ninja -C "$build" corvex_bench; else ninja -C "$build" corvex_bench corvex-helper; fi
     } >"$log" 2>&1; then
  tail -40 "$log" >&2
  echo "build of the benchmark failed (full log: $log)" >&2
  exit 1
fi
bench="$build/corvex_bench"

# Package extraction on the fake: one .msu holding 40 MSZIP cabinets of 500
# files each (about 3 kB of text-like data per file, made here once by
# gcab), unpacked with one and with three workers; wall seconds, best of
# five, and the peak memory of a run (the fake holds every file in memory).
# On this two-core machine the ideal is 2x; three workers must reach 1.8x.
# Both runs are pinned to the same two cores, so a third core elsewhere
# cannot flatter the figure. The machine is shared: the line also gives
# what two busy threads gained over one at the time, and
# says so when that was far from 2x, since no code scales on cores that
# others are using.
package_bench() {
  local msu="$work/bench.msu"
  if [ ! -s "$msu" ]; then
    rm -rf "$work/msu" && mkdir -p "$work/msu"
    python3 - "$work/msu" <<'PY'
import os, random, subprocess, sys
root = sys.argv[1]
rng = random.Random(20261207)
words = ["w%d" % i for i in range(3000)]
for c in range(40):
    folder = os.path.join(root, "c%02d" % c)
    os.makedirs(folder)
    for i in range(500):
        with open(os.path.join(folder, "f%03d.dll" % i), "w") as f:
            f.write(" ".join(rng.choice(words) for _ in range(rng.randint(300, 700))))
    subprocess.run(["gcab", "-c", "-z", "../c%02d.cab" % c] + sorted(os.listdir(folder)), cwd=folder, check=True)
subprocess.run(["gcab", "-c", "bench.msu"] + ["c%02d.cab" % c for c in range(40)], cwd=root, check=True)
PY
    mv "$work/msu/bench.msu" "$msu"
    rm -rf "$work/msu"
  fi
  local pin=()
  if command -v taskset >/dev/null && [ "$(nproc)" -ge 2 ]; then pin=(taskset -c 0,1); fi
  # Rounds alternate the two, so that a busy spell of the machine falls on
  # both; each keeps its best wall time and the peak memory of that run.
  # Each round also times the same busy loop in one thread and in two; the
  # best of each, taken on its own (the best ratio of a round would favour
  # a round whose single thread a neighbour slowed), tells what two cores
  # gave during the rounds.
  local files1="" t1="" p1="" files3="" t3="" p3="" cores="" line t one="" two="" a b
  for _ in 1 2 3 4 5; do
    read -r a b _ <<<"$("${pin[@]}" "$bench" cores)"
    if [ -z "$one" ] || awk -v x="$a" -v y="$one" 'BEGIN{exit !(x<y)}'; then one=$a; fi
    if [ -z "$two" ] || awk -v x="$b" -v y="$two" 'BEGIN{exit !(x<y)}'; then two=$b; fi
    for w in 1 3; do
      line=$("${pin[@]}" "$bench" packages "$msu" "$w")
      t=$(echo "$line" | awk '{print $2}')
      if [ "$w" = 1 ]; then
        files1=$(echo "$line" | awk '{print $1}')
        if [ -z "$t1" ] || awk -v a="$t" -v b="$t1" 'BEGIN{exit !(a<b)}'; then t1=$t; p1=$(echo "$line" | awk '{print $4}'); fi
      else
        files3=$(echo "$line" | awk '{print $1}')
        if [ -z "$t3" ] || awk -v a="$t" -v b="$t3" 'BEGIN{exit !(a<b)}'; then t3=$t; p3=$(echo "$line" | awk '{print $4}'); fi
      fi
    done
  done
  cores=$(awk -v x="$one" -v y="$two" 'BEGIN{printf "%.2f", x / y}')
  if [ "$files1" != "$files3" ]; then
    echo "package extraction: 1 worker gave $files1 files, 3 workers $files3" >&2
    return 1
  fi
  awk -v n="$files3" -v a="$t1" -v pa="$p1" -v b="$t3" -v pb="$p3" 'BEGIN{
    printf "package extraction, 1 worker: %d files in %.3f s, peak %d kB\n", n, a, pa
    printf "package extraction, 3 workers: %d files in %.3f s, peak %d kB, %.2fx\n", n, b, pb, a / b }'
  awk -v a="$t1" -v b="$t3" -v c="$cores" 'BEGIN{
    pass = a / b >= 1.8
    printf "package extraction scaling: %s (3 workers %.2fx faster than 1, target 1.8x; two busy threads %.2fx%s)\n",
           pass ? "PASS" : "FAIL", a / b, c, c < 1.9 ? ": the machine was busy, measure again" : ""
    exit !pass }'
}
if [ "$only" = packages ]; then
  package_bench
  exit
fi

# Text-like data (random words) with a share of random bytes: about 118 MB
# compressed, 200 MB extracted, in 20 folders.
archive="$work/bench.zip"
if [ ! -s "$archive" ]; then
  python3 - "$archive.tmp" <<'PY'
import random, sys, zipfile
rng = random.Random(20261206)
words = ["w%d" % i for i in range(4000)]
pool = "\r\n".join(" ".join(rng.choice(words) for _ in range(12)) for _ in range(40000)).encode()
with zipfile.ZipFile(sys.argv[1], "w", zipfile.ZIP_DEFLATED, compresslevel=6) as z:
    for i in range(2000):
        size = rng.randint(60000, 140000)
        noise = rng.randbytes(size * 32 // 100)
        start = rng.randrange(len(pool) - size)
        z.writestr("d%02d/file%04d.bin" % (i % 20, i), pool[start:start + size - len(noise)] + noise)
PY
  mv "$archive.tmp" "$archive"
fi

# Best of three: datablocks prints "N wall cpu" per size.
best_adds() {
  local n=$1 best="" t
  for _ in 1 2 3; do
    t=$("$bench" datablocks "$n" | awk '{print $3}')
    if [ -z "$best" ] || awk -v a="$t" -v b="$best" 'BEGIN{exit !(a<b)}'; then best=$t; fi
  done
  echo "$best"
}
many=$(best_adds 10000)
few=$(best_adds 1000)
echo "datablock store: 10000 adds in $many s (1000 adds in $few s)"

# Wall time of one command in seconds, into a fresh folder on the same disk.
timed() {
  local out=$1; shift
  rm -rf "$out"
  mkdir -p "$out"
  sync
  local start end
  start=$(date +%s.%N)
  "$@" >/dev/null
  end=$(date +%s.%N)
  awk -v a="$start" -v b="$end" 'BEGIN{printf "%.3f", b - a}'
}
ours="" theirs=""
for _ in 1 2 3; do
  t=$(timed "$work/ours" "$bench" zip "$archive" "$work/ours")
  if [ -z "$ours" ] || awk -v a="$t" -v b="$ours" 'BEGIN{exit !(a<b)}'; then ours=$t; fi
  t=$(timed "$work/unzip" unzip -o -q "$archive" -d "$work/unzip")
  if [ -z "$theirs" ] || awk -v a="$t" -v b="$theirs" 'BEGIN{exit !(a<b)}'; then theirs=$t; fi
done
# Both must have placed the same bytes.
if ! diff -rq "$work/ours" "$work/unzip" >/dev/null; then
  echo "zip extraction: our output differs from unzip's" >&2
  exit 1
fi
rm -rf "$work/ours" "$work/unzip"
echo "zip extraction: $ours s; unzip: $theirs s"

# CBS.log analysis: a generated 200 MB log (the samples' lines, a NUL block,
# a 50 MB last line without a line end) read by ReadCbsLog through the real
# disk, beside grep -F -c '[SR]' on the same file (best of three each), and
# the peak memory of the reading on 20 MB and on 200 MB of the same log.
cbs="$work/cbs.log"
if [ ! -s "$cbs" ]; then
  python3 "$root/bench/make_cbs_log.py" "$cbs" "$root/tests/samples/windows" 209715200
fi
head -c 20971520 "$cbs" >"$work/cbs-20mb.log"
best_of3() {
  local best="" t
  for _ in 1 2 3; do
    t=$("$@")
    if [ -z "$best" ] || awk -v a="$t" -v b="$best" 'BEGIN{exit !(a<b)}'; then best=$t; fi
  done
  echo "$best"
}
ours_cbs() { "$bench" cbs "$cbs" | awk '{print $2}'; }
grep_cbs() {
  local start end
  start=$(date +%s.%N)
  LC_ALL=C grep -F -c '[SR]' "$cbs" >/dev/null
  end=$(date +%s.%N)
  awk -v a="$start" -v b="$end" 'BEGIN{printf "%.3f", b - a}'
}
t_ours=$(best_of3 ours_cbs)
t_grep=$(best_of3 grep_cbs)
bytes=$(stat -c %s "$cbs")
peak_small=$("$bench" cbs "$work/cbs-20mb.log" | awk '{print $5}')
peak_big=$("$bench" cbs "$cbs" | awk '{print $5}')
awk -v n="$bytes" -v a="$t_ours" -v b="$t_grep" -v s="$peak_small" -v l="$peak_big" 'BEGIN{
  printf "CBS log: %.0f MB/s (%.3f s); grep -F [SR]: %.0f MB/s (%.3f s); peak memory %d kB on 20 MB, %d kB on 200 MB\n",
         n / 1e6 / a, a, n / 1e6 / b, b, s, l }'
# corvex-helper cbs over the same log as a helper runs it (process start, the
# fake Windows and the table included), best of three beside the reading
# above, and its peak memory on 20 MB and on 200 MB. It exits with 1 when
# the log reports damage, which this one does.
helper="$build/corvex-helper"
helper_cbs() {
  local start end rc=0
  start=$(date +%s.%N)
  "$helper" cbs "$1" >/dev/null || rc=$?
  end=$(date +%s.%N)
  [ "$rc" -le 1 ] || { echo "corvex-helper cbs failed with $rc" >&2; exit 1; }
  awk -v a="$start" -v b="$end" 'BEGIN{printf "%.3f", b - a}'
}
helper_peak() {
  python3 -c 'import resource, subprocess, sys
subprocess.run(sys.argv[1:], stdout=subprocess.DEVNULL)
print(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)' "$helper" cbs "$1"
}
t_helper=$(best_of3 helper_cbs "$cbs")
awk -v a="$t_helper" -v b="$t_ours" -v s="$(helper_peak "$work/cbs-20mb.log")" -v l="$(helper_peak "$cbs")" 'BEGIN{
  printf "corvex-helper cbs: %.3f s (%.2fx the CBS log reading); peak memory %d kB on 20 MB, %d kB on 200 MB\n",
         a, a / b, s, l }'
# Record analysis against a 30,000-key COMPONENTS tree, in processor
# seconds: the index is built once, so the time grows with the records.
"$bench" records 1000 5000 10000 | awk '{printf "SFC records: %d in %s s\n", $1, $2}'
# Store schema: 100,000 generated component keys of 8 to 15 values checked
# against the fake's registry, clean and with 10% of them holding an f! name
# that fails at its last character, in processor seconds (best of three).
best_schema() {
  local best="" t
  for _ in 1 2 3; do
    t=$("$bench" schema 100000 "$1" | awk '{print $2}')
    if [ -z "$best" ] || awk -v a="$t" -v b="$best" 'BEGIN{exit !(a<b)}'; then best=$t; fi
  done
  echo "$best"
}
clean=$(best_schema 0)
failing=$(best_schema 10)
awk -v a="$clean" -v b="$failing" 'BEGIN{
  printf "store schema: %.0f keys/s clean (%.3f s), %.0f keys/s with 10%% failing f! names (%.3f s)\n",
         100000 / a, a, 100000 / b, b }'
# The whole registry flash scan against the fake: 100,000 component keys
# walked, checked and compared with a 100,000-line database (processor
# seconds; memory is the process's peak, the fake registry included).
"$bench" scan 100000 | awk '{printf "registry flash scan: %d keys in %s s, %d submitted, peak %d kB\n", $1, $2, $3, $4}'
package_bench
