#!/usr/bin/env python3
"""End-to-end benchmarks of the druvo daemon on this machine, beside the shell
loop a Linux user would write, through the same private cupsd and loopback
capture printer the integration tests use. Appends its figures to results.md.

  bench_e2e.py BUILD_DIR [--runs N] [--idle-seconds S] [--latency-drops N]
"""
import argparse
import datetime
import glob
import os
import platform
import random
import re
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
CUPSENV = os.path.join(ROOT, "tests", "integration", "cupsenv.sh")


def receipt(rng, n):
    """200-2000 bytes that look like ESC/POS: init, styles, text lines, cut."""
    size = rng.randint(200, 2000)
    out = bytearray(b"\x1b@\x1b!\x10SHOP %06d\r\n\x1b!\x00" % n)
    while len(out) < size - 4:
        name = "".join(rng.choice("ABCDEFGH") for _ in range(rng.randint(3, 18))).encode()
        out += b"ITEM %-20s %8.2f\r\n" % (name, rng.random() * 100)
    out = out[: size - 4] + b"\x1dV\x00\n"
    return bytes(out)


class Cups:
    def __init__(self, log_jobs=False):
        self.dir = tempfile.mkdtemp(prefix="druvo-bench-cups-")
        os.chmod(self.dir, 0o755)
        self.log_jobs = log_jobs
        env = dict(os.environ)
        if log_jobs:
            # "[Job N] File of type ... queued": the moment cupsd had a document whole.
            env.update(CUPS_LOGLEVEL="info")
        self.socket = subprocess.check_output([CUPSENV, "start", self.dir], text=True, env=env).strip()
        os.environ["CUPS_SERVER"] = self.socket
        os.environ.pop("PRINTER", None)
        os.environ.pop("LPDEST", None)

    def jobs(self):
        return sorted(glob.glob(os.path.join(self.dir, "jobs", "job-*.bin")))

    def documents_queued(self):
        """When cupsd had each document whole (epoch seconds), oldest job first."""
        if not self.log_jobs:
            return []
        stamps = {}
        with open(os.path.join(self.dir, "log", "error_log")) as f:
            for line in f:
                m = re.match(r"I \[(\S+) ([+-]\d{4})\] \[Job (\d+)\] File of type .* queued", line)
                if m:
                    when = datetime.datetime.strptime(m.group(1) + m.group(2), "%d/%b/%Y:%H:%M:%S.%f%z")
                    stamps[int(m.group(3))] = when.timestamp()
        return [stamps[k] for k in sorted(stamps)]

    def clear_jobs(self):
        for f in glob.glob(os.path.join(self.dir, "jobs", "job-*")):
            os.unlink(f)

    def stop(self):
        subprocess.call([CUPSENV, "stop", self.dir])
        shutil.rmtree(self.dir, ignore_errors=True)


def wait_until(cond, timeout=600, step=0.005):
    end = time.time() + timeout
    while time.time() < end:
        if cond():
            return time.time()
        time.sleep(step)
    raise RuntimeError("timed out")


def fill(folder, files):
    """Writes the files into a staging folder and renames them into place at once."""
    staging = folder + ".staging"
    os.makedirs(staging, exist_ok=True)
    old = time.time() - 60
    for i, data in enumerate(files):
        p = os.path.join(staging, "r%05d.prn" % i)
        with open(p, "wb") as f:
            f.write(data)
        os.utime(p, (old + i * 0.001, old + i * 0.001))
    for i in range(len(files)):
        os.rename(os.path.join(staging, "r%05d.prn" % i), os.path.join(folder, "r%05d.prn" % i))
    os.rmdir(staging)


def folder_empty(folder):
    return not os.listdir(folder)


def direct(cups):
    """The capture printer itself, reached without CUPS."""
    with open(os.path.join(cups.dir, "printer.port")) as f:
        return "socket://127.0.0.1:" + f.read().strip()


def run_druvo(druvo, cups, folder, files, printer="RACUN"):
    cups.clear_jobs()
    proc = subprocess.Popen([druvo, printer, folder + "/*.*"], stderr=subprocess.DEVNULL)
    time.sleep(0.5)
    fill(folder, files)
    t0 = time.time()
    t_accept = wait_until(lambda: folder_empty(folder))
    t_arrive = wait_until(lambda: len(cups.jobs()) >= len(files))
    proc.send_signal(signal.SIGTERM)
    proc.wait()
    return len(files) / (t_accept - t0), len(files) / (t_arrive - t0)


def run_lp_loop(cups, folder, files):
    cups.clear_jobs()
    fill(folder, files)
    t0 = time.time()
    subprocess.check_call(["bash", "-c",
                           'for f in "$1"/*; do lp -d RACUN -o raw "$f" >/dev/null && rm "$f"; done',
                           "loop", folder])
    t_accept = time.time()
    t_arrive = wait_until(lambda: len(cups.jobs()) >= len(files))
    return len(files) / (t_accept - t0), len(files) / (t_arrive - t0)


def cupsd_pace(druvo, cups, folder, files):
    """cupsd's own delivery rate: all jobs are handed to a stopped queue
    first, then the queue is started and drained."""
    cups.clear_jobs()
    subprocess.check_call(["cupsdisable", "-h", cups.socket, "RACUN"])
    proc = subprocess.Popen([druvo, "RACUN", folder + "/*.*"], stderr=subprocess.DEVNULL)
    time.sleep(0.5)
    fill(folder, files)
    wait_until(lambda: folder_empty(folder))
    proc.send_signal(signal.SIGTERM)
    proc.wait()
    t0 = time.time()
    subprocess.check_call(["cupsenable", "-h", cups.socket, "RACUN"])
    t_arrive = wait_until(lambda: len(cups.jobs()) >= len(files))
    return len(files) / (t_arrive - t0)


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    ticks = os.sysconf("SC_CLK_TCK")
    return (int(fields[11]) + int(fields[12])) / ticks


def idle_cost(druvo, folder, seconds, extra=()):
    proc = subprocess.Popen([druvo, "RACUN", folder + "/*.*"] + list(extra),
                            stderr=subprocess.DEVNULL)
    time.sleep(1)
    c0 = cpu_seconds(proc.pid)
    time.sleep(seconds)
    c1 = cpu_seconds(proc.pid)
    proc.send_signal(signal.SIGTERM)
    proc.wait()
    return c1 - c0


def idle_table(what, cpu, seconds):
    return ["### Idle cost: " + what, "", "| CPU in %d s | share of one core |" % seconds,
            "|---:|---:|", "| %.3f s | %.3f %% |" % (cpu, 100.0 * cpu / seconds), ""]


def callgrind_per_cycle(druvo, folder):
    """Instructions of one idle poll: callgrind counts only inside the cycle
    function; the daemon says at exit how many polls it ran."""
    if not shutil.which("valgrind"):
        return None
    out = os.path.join(tempfile.gettempdir(), "druvo-callgrind.out")
    proc = subprocess.Popen(["valgrind", "--tool=callgrind", "--callgrind-out-file=" + out,
                             "--toggle-collect=*RunSpoolCycle*", druvo, "RACUN", folder + "/*.*"],
                            stderr=subprocess.PIPE, stdout=subprocess.DEVNULL, text=True)
    time.sleep(12)
    proc.send_signal(signal.SIGTERM)
    _, err = proc.communicate()
    polls = None
    for line in err.splitlines():
        if "stopping after" in line:
            polls = int(line.split("stopping after")[1].split()[0])
    total = None
    with open(out) as f:
        for line in f:
            if line.startswith(("summary:", "totals:")):
                total = int(line.split()[1])
    os.unlink(out)
    if not total or not polls:
        return None
    return total / polls


def latency(druvo, cups, folder, drops, rng, printer="RACUN", last_byte=False):
    cups.clear_jobs()
    proc = subprocess.Popen([druvo, printer, folder + "/*.*"], stderr=subprocess.DEVNULL)
    time.sleep(0.5)
    closed = []
    for i in range(drops):
        time.sleep(rng.uniform(0.05, 0.6))
        tmp = os.path.join(folder, ".tmp%d" % i)
        with open(tmp, "wb") as f:
            f.write(receipt(rng, i))
        os.rename(tmp, os.path.join(folder, "l%05d.prn" % i))
        closed.append(time.time())
    wait_until(lambda: len(cups.jobs()) >= drops)
    proc.send_signal(signal.SIGTERM)
    proc.wait()
    lat = []
    for i, job in enumerate(cups.jobs()):
        with open(job + ".time") as f:
            stamps = f.read().split()
            lat.append((float(stamps[-1 if last_byte else 0]) - closed[i]) * 1000)
    # When cupsd had each document whole: druvo's share of the way.
    handed = [(t - c) * 1000 for t, c in zip(cups.documents_queued()[-drops:], closed)]
    return percentiles(lat), percentiles(handed) if handed else None


def percentiles(values):
    values = sorted(values)
    return values[len(values) // 2], values[int(len(values) * 0.95) - 1], values[-1]


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("build")
    ap.add_argument("--runs", type=int, default=3)
    ap.add_argument("--files", type=int, default=1000)
    ap.add_argument("--idle-seconds", type=int, default=60)
    ap.add_argument("--latency-drops", type=int, default=200)
    args = ap.parse_args()
    druvo = os.path.join(os.path.abspath(args.build), "daemon", "druvo")
    rng = random.Random(2026)
    files = [receipt(rng, i) for i in range(args.files)]

    cups = Cups()
    folder = tempfile.mkdtemp(prefix="druvo-bench-drop-")
    os.chmod(folder, 0o777)
    lines = []
    try:
        d_acc, d_arr, l_acc, l_arr, s_arr = [], [], [], [], []
        for run in range(args.runs):
            a, b = run_druvo(druvo, cups, folder, files)
            d_acc.append(a)
            d_arr.append(b)
            s_arr.append(run_druvo(druvo, cups, folder, files, direct(cups))[1])
            a, b = run_lp_loop(cups, folder, files)
            l_acc.append(a)
            l_arr.append(b)
            print("- run %d: druvo %.0f/%.0f files/s, lp loop %.0f/%.0f files/s (accepted/arrived)"
                  % (run + 1, d_acc[-1], d_arr[-1], l_acc[-1], l_arr[-1]), flush=True)
        m = statistics.median
        pace = cupsd_pace(druvo, cups, folder, files)
        lines.append("### Throughput: %d receipts of 200-2000 bytes, medians of %d runs" % (args.files, args.runs))
        lines.append("")
        lines.append("| | accepted by the spooler (files/s) | arrived at the printer (files/s) |")
        lines.append("|---|---:|---:|")
        lines.append("| druvo | %.0f | %.0f |" % (m(d_acc), m(d_arr)))
        lines.append("| `for f in dir/*; do lp -d QUEUE -o raw \"$f\" && rm \"$f\"; done` | %.0f | %.0f |" % (m(l_acc), m(l_arr)))
        lines.append("| ratio druvo / loop | %.1f x | %.1f x |" % (m(d_acc) / m(l_acc), m(d_arr) / m(l_arr)))
        lines.append("| cupsd alone, draining %d held jobs (the bound for arrival) | | %.0f |" % (args.files, pace))
        lines.append("| druvo straight to the printer, `socket://` (no CUPS) | | %.0f |" % m(s_arr))
        lines.append("| ratio socket:// / loop | | %.1f x |" % (m(s_arr) / m(l_arr)))
        lines.append("")

        keeping = Cups(log_jobs=True)
        try:
            (p50, p95, mx), handed = latency(druvo, keeping, folder, args.latency_drops, rng)
        finally:
            keeping.stop()
            os.environ["CUPS_SERVER"] = cups.socket
        lines.append("### Latency: %d drops spaced 50-600 ms at random, through cupsd" % args.latency_drops)
        lines.append("")
        lines.append("| from the writer's close to | p50 | p95 | max |")
        lines.append("|---|---:|---:|---:|")
        if handed:
            lines.append("| the whole document at cupsd (druvo's share) | %.1f ms | %.1f ms | %.1f ms |" % handed)
        lines.append("| the first byte at the printer | %.1f ms | %.1f ms | %.1f ms |" % (p50, p95, mx))
        lines.append("")
        (p50, p95, mx), _ = latency(druvo, cups, folder, args.latency_drops, rng, direct(cups), True)
        lines.append("### Latency, `socket://` (no CUPS): close to the last byte at the printer")
        lines.append("")
        lines.append("| p50 | p95 | max |")
        lines.append("|---:|---:|---:|")
        lines.append("| %.1f ms | %.1f ms | %.1f ms |" % (p50, p95, mx))
        lines.append("")

        cpu = idle_cost(druvo, folder, args.idle_seconds)
        per_cycle = callgrind_per_cycle(druvo, folder)
        lines.append("### Idle cost: empty folder")
        lines.append("")
        lines.append("| CPU in %d s | share of one core | instructions per idle cycle (callgrind) |" % args.idle_seconds)
        lines.append("|---:|---:|---:|")
        lines.append("| %.3f s | %.3f %% | %s |" % (cpu, 100.0 * cpu / args.idle_seconds,
                                                   "%.0f" % per_cycle if per_cycle else "n/a"))
        lines.append("")

        # The fleet view on: the metrics file kept (rewritten once a minute
        # when nothing changes) and the events followed at every look.
        with tempfile.TemporaryDirectory() as textfiles:
            cpu = idle_cost(druvo, folder, args.idle_seconds,
                            ["--metrics-file=" + textfiles + "/druvo.prom"])
        lines += idle_table("empty folder, with --metrics-file", cpu, args.idle_seconds)

        # Files that are never printed (read-only) but must be looked at.
        for i in range(5000):
            path = os.path.join(folder, "ro%05d.prn" % i)
            with open(path, "w") as f:
                f.write("x")
            os.chmod(path, 0o444)
        cpu = idle_cost(druvo, folder, args.idle_seconds)
        for name in os.listdir(folder):
            os.chmod(os.path.join(folder, name), 0o644)
            os.unlink(os.path.join(folder, name))
        lines += idle_table("5,000 read-only (never printed) files in the folder", cpu,
                            args.idle_seconds)
    finally:
        cups.stop()
        shutil.rmtree(folder, ignore_errors=True)
    print("\n".join(lines))
    return lines


if __name__ == "__main__":
    main()
