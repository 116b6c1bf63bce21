#!/usr/bin/env python3
"""Proof of paper: receipts to an emulated ESC/POS printer (the tests' capture
printer in --escpos mode) with ?confirm=escpos, each deleted once the printer
confirmed it came out. Prints a markdown section for results.md.

  bench_confirm.py BUILD_DIR [--receipts N] [--latency-drops N]

Also: 100 receipts of 1.5 KB through a printer-sized 4 KB TCP window, from a
printer that sends its status every 5 ms, and the CPU druvo uses meanwhile.

The printer prints at 250 mm/s: 42-character lines 3.75 mm apart, so
66.7 lines or about 2,870 bytes a second. Throughput is compared with the
printer's own pace (its bytes over its rate); latency is close to delete,
less the time the printer needs to print the receipt.
"""
import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
PRINTER = os.path.join(ROOT, "tests", "integration", "capture_printer.py")
RATE = 250 / 3.75 * 43  # bytes per second at 250 mm/s


def receipt(n, lines=6):
    out = "SHOP %06d\n" % n
    for i in range(lines - 1):
        out += ("ITEM %-28s %8.2f" % ("X" * (i + 3), i * 1.5)) + "\n"
    return out.encode()


def wait_until(cond, timeout, step=0.0005):
    end = time.time() + timeout
    while time.time() < end:
        if cond():
            return True
        time.sleep(step)
    return cond()


class Setup:
    def __init__(self, build, extra=()):
        self.dir = tempfile.mkdtemp(prefix="druvo-bench-confirm-")
        self.folder = os.path.join(self.dir, "in")
        os.makedirs(self.folder)
        os.makedirs(os.path.join(self.dir, "state"))
        port_file = os.path.join(self.dir, "port")
        self.printer = subprocess.Popen(
            [sys.executable, PRINTER, "--escpos", "--port-file", port_file, "--out",
             os.path.join(self.dir, "out"), "--print-rate", str(RATE), "--step-ms", "1"]
            + list(extra))
        wait_until(lambda: os.path.exists(port_file), 10)
        with open(port_file) as f:
            self.port = f.read().strip()
        self.build = build
        self.druvo = None

    def start(self):
        env = dict(os.environ, DRUVO_STATE_DIR=os.path.join(self.dir, "state"))
        self.druvo = subprocess.Popen(
            [os.path.join(self.build, "daemon", "druvo"),
             "socket://127.0.0.1:%s?confirm=escpos" % self.port, self.folder + "/*"],
            env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def close(self):
        for p in (self.druvo, self.printer):
            if p is not None:
                p.terminate()
                p.wait()
        shutil.rmtree(self.dir, ignore_errors=True)


def throughput(build, count, lines=6, extra=()):
    s = Setup(build, extra)
    try:
        total = 0
        for n in range(count):
            data = receipt(n, lines)
            total += len(data)
            path = os.path.join(s.folder, "r%06d" % n)
            with open(path, "wb") as f:
                f.write(data)
            os.utime(path, (1e9 + n, 1e9 + n))
        start = time.time()
        s.start()
        ok = wait_until(lambda: not os.listdir(s.folder), count * 3, 0.05)
        took = time.time() - start
        return ok, total / RATE, took, cpu_seconds(s.druvo.pid) / took * 100
    finally:
        s.close()


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def latency(build, drops):
    s = Setup(build)
    over = []
    try:
        s.start()
        time.sleep(1)
        for n in range(drops):
            data = receipt(n)
            path = os.path.join(s.folder, "r%06d" % n)
            with open(path, "wb") as f:
                f.write(data)
            closed = time.time()
            if not wait_until(lambda: not os.path.exists(path), 30):
                break
            over.append((time.time() - closed - len(data) / RATE) * 1000)
            time.sleep(0.05)
        return over
    finally:
        s.close()


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("build")
    ap.add_argument("--receipts", type=int, default=1000)
    ap.add_argument("--latency-drops", type=int, default=50)
    args = ap.parse_args()
    ok, ideal, took, _ = throughput(args.build, args.receipts)
    big_ok, big_ideal, big_took, chatty = throughput(
        args.build, 100, 35, ["--window", "4096", "--asb-every-ms", "5"])
    over = latency(args.build, args.latency_drops)
    over.sort()
    print("### Proof of paper: confirmed receipts at 250 mm/s (emulated ESC/POS printer)")
    print()
    print("| measure | value |")
    print("|---|---:|")
    print("| receipts, all confirmed and deleted | %d%s |" % (args.receipts, "" if ok else " (NOT all)"))
    print("| the printer's own time for them | %.1f s |" % ideal)
    print("| druvo, start to last delete | %.1f s (%+.1f %%) |" % (took, (took / ideal - 1) * 100))
    print("| 100 receipts of 1.5 KB through a 4 KB TCP window%s: printer's own time | %.1f s |"
          % ("" if big_ok else " (NOT all)", big_ideal))
    print("| ... druvo, start to last delete | %.1f s (%+.1f %%) |"
          % (big_took, (big_took / big_ideal - 1) * 100))
    print("| ... druvo's CPU meanwhile, the printer sending its status every 5 ms | %.2f %% of a core |"
          % chatty)
    if over:
        print("| close to delete, less the print time: p50 | %.1f ms |" % statistics.median(over))
        print("| ... p95 | %.1f ms |" % over[int(len(over) * 0.95) - 1])
    return 0 if ok and big_ok else 1


if __name__ == "__main__":
    sys.exit(main())
