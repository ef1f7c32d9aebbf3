# A CBS log for the benchmark: lines drawn from the sample logs, a 1 MiB
# block of NULs in the middle (as a crash leaves in a log) and, last, a 50 MB
# line without a line end.  make_cbs_log.py OUT SAMPLES-FOLDER TOTAL-BYTES
import glob, os, random, sys
out, samples, total = sys.argv[1], sys.argv[2], int(sys.argv[3])
rng = random.Random(20261206)
lines = []
for f in sorted(glob.glob(os.path.join(samples, "cbs-*.log"))):
    data = open(f, "rb").read()
    lines += [l + b"\n" for l in data.split(b"\n") if l]
long_line = 50 * 1024 * 1024
body = total - long_line
with open(out + ".tmp", "wb") as o:
    written = 0
    block = []
    while written < body:
        chunk = b"".join(rng.choice(lines) for _ in range(2000))
        if written < body // 2 <= written + len(chunk):
            chunk += b"\0" * (1024 * 1024) + b"\r\n"  # a NUL block, as a crash leaves in a log
        o.write(chunk)
        written += len(chunk)
    o.write(b"A" * long_line)  # the last line, without a line end
os.replace(out + ".tmp", out)
