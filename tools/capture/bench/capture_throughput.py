#!/usr/bin/env python3
"""Throughput of seamlog-capture through libusb, 64 bytes a read, against the
emulated splicer's own rate, in one run.

    capture_throughput.py BUILD_DIR SAMPLES_DIR

For each pace the emulated splicer offers (bytes a second), the same stream
(the MODEL-C sample, 20 times) goes through libusb into seamlog-capture. The
splicer can hand a transfer out only when the program has one pending, so the
time from its first to its last byte is the time the bytes took to cross.
"""
import datetime
import os
import re
import shutil
import subprocess
import sys
import tempfile

BUILD, SAMPLES = sys.argv[1], sys.argv[2]
EMULATOR = os.path.join(BUILD, "tools/splicer-emulator/seamlog-splicer-emulator")
CAPTURE = os.path.join(BUILD, "tools/capture/seamlog-capture")

work = tempfile.mkdtemp(prefix="capture-bench-")
with open(os.path.join(SAMPLES, "model-c-report.txt"), "rb") as f:
    stream = f.read().replace(b"\r\n", b"\r") * 20
raw = os.path.join(work, "stream.raw")
with open(raw, "wb") as f:
    f.write(stream)

print("stream: %d bytes, reads of at most 64 bytes, one read per poll tick (1 ms)" % len(stream))
print("%14s %14s %10s %8s" % ("offered B/s", "through B/s", "seconds", "ratio"))
for pace in (20000, 40000, 1000000):
    env = dict(os.environ, XDG_STATE_HOME=os.path.join(work, "state-%d" % pace))
    env.pop("LD_PRELOAD", None)
    out = os.path.join(work, "table-%d.csv" % pace)
    done = subprocess.run([EMULATOR, "--report", raw, "--rate", str(pace), "--end-after-ms", "1500", "--", CAPTURE,
                           "--quiet", "--out", out, "--save-when-idle", "1", "--model", "MODEL-C"],
                          env=env, capture_output=True, text=True, timeout=120)
    m = re.search(r"served (\d+) of \d+ bytes", done.stderr)
    if not m or int(m.group(1)) != len(stream):
        sys.exit("the run did not take the whole stream: " + done.stderr)
    with open(os.path.join(env["XDG_STATE_HOME"], "seamlog", "Seamlog.log")) as f:
        log = f.read()
    stamp = lambda what: datetime.datetime.strptime(
        re.search(r"^(\S+ \S+)  " + what, log, re.M).group(1), "%Y-%m-%d %H:%M:%S.%f")
    seconds = (stamp("save: completed") - stamp("open: result 0")).total_seconds() - 1.0
    through = len(stream) / seconds
    print("%14d %14.0f %10.3f %8.2f" % (pace, through, seconds, through / pace))
shutil.rmtree(work)
