#!/usr/bin/env python3
"""Close-to-printer latency of druvo.exe under Wine, through Wine's spooler
into the private cupsd and its loopback capture printer, or straight to that
printer (socket://).

  wine_latency.py WIN_BUILD_DIR [--drops N] [--via spooler|socket]
Prints one markdown line: p50, p95 and max in milliseconds.
"""
import argparse
import os
import random
import shutil
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import bench_e2e as b  # noqa: E402


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("build")
    ap.add_argument("--drops", type=int, default=60)
    ap.add_argument("--via", choices=["spooler", "socket"], default="spooler")
    args = ap.parse_args()
    cups = b.Cups()
    folder = "/tmp/druvo-wine-lat-%d" % os.getpid()
    os.makedirs(folder)
    os.chmod(folder, 0o777)
    exe = os.path.join(args.build, "tray", "druvo.exe")
    printer = "RACUN"
    if args.via == "socket":
        with open(os.path.join(cups.dir, "printer.port")) as f:
            printer = "socket://127.0.0.1:" + f.read().strip()
    proc = subprocess.Popen(["wine", exe, printer, "Z:" + folder.replace("/", "\\") + "\\*.*"],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        # Wine takes seconds to start: the first receipt printed says it is up.
        with open(os.path.join(folder, "warm-up.prn"), "wb") as f:
            f.write(b"warm-up\n")
        b.wait_until(lambda: len(cups.jobs()) >= 1, timeout=120)
        b.wait_until(lambda: not os.path.exists(os.path.join(folder, "warm-up.prn")), timeout=30)
        cups.clear_jobs()
        rng = random.Random(5)
        closed = []
        for i in range(args.drops):
            time.sleep(rng.uniform(0.2, 0.6))
            tmp = os.path.join(folder, ".t%d" % i)
            with open(tmp, "wb") as f:
                f.write(b.receipt(rng, i))
            os.rename(tmp, os.path.join(folder, "l%05d.prn" % i))
            closed.append(time.time())
        b.wait_until(lambda: len(cups.jobs()) >= args.drops, timeout=120)
        lat = []
        for i, job in enumerate(cups.jobs()):
            with open(job + ".time") as f:
                lat.append((float(f.readline()) - closed[i]) * 1000)
        where = "through Wine's spooler" if args.via == "spooler" else "socket://, no spooler"
        print("| Wine, %s | %d | %.1f ms | %.1f ms | %.1f ms |" %
              ((where, len(lat)) + b.percentiles(lat)))
    finally:
        proc.terminate()
        subprocess.call(["wineserver", "-k"])
        cups.stop()
        shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    main()
