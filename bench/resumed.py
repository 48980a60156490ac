#!/usr/bin/env python3
"""Times a package download interrupted at half and resumed beside an uninterrupted one.

The interrupted side is killed (SIGKILL, as a kiosk switched off) once its
part holds half the package, then a second run fetches the rest; its CPU
seconds and peak RSS are those of both runs. The server's access log says
how many bytes were sent in all, so the bytes fetched twice are what it sent
beyond the package's size. Prints "name value" lines like bench.py, medians
of --reps pairs.
"""

import argparse
import glob
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

import bench

RESUMED = "kept from an earlier run."


def parse_args():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size", default="1G", help="package size")
    parser.add_argument("--reps", type=int, default=3)
    parser.add_argument("--updater", default=os.path.join(bench.ROOT, "build", "updater"))
    args = parser.parse_args()
    args.size = bench.parse_size(args.size)
    args.sizes = [args.size]
    args.idle_reps = 0
    return args


def killed_at_half(tool, remote, size):
    """Runs the updater until its part holds half the package; returns its usage.

    Under /usr/bin/time, like the timed runs: a child of this Python process
    would count Python's own memory in its peak RSS."""
    local, env = tool.fresh_local()
    report = os.path.join(tool.work, "killed.time")
    command = ["/usr/bin/time", "-f", bench.TIME_FORMAT, "-o", report,
               tool.args.updater, "--localPath", local, "--remotePath", remote]
    bench.sync_disk()
    proc = subprocess.Popen(command, env=env, stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL)
    pattern = os.path.join(local, "updates", ".updater-*.part")
    while proc.poll() is None:
        parts = glob.glob(pattern)
        if parts and os.path.getsize(parts[0]) >= size // 2:
            with open("/proc/%d/task/%d/children" % (proc.pid, proc.pid)) as children:
                os.kill(int(children.read().split()[0]), signal.SIGKILL)
            break
        time.sleep(0.005)
    proc.wait()
    with open(report) as text:
        words = text.read().split()
    if "signal" not in words:
        sys.exit("the run ended before it was interrupted; make the package larger")
    fields = words[-4:]
    return local, env, {"cpu": float(fields[2]) + float(fields[3]), "rss": int(fields[0])}


def resumed(tool, remote, size, expected):
    local, env, first = killed_at_half(tool, remote, size)
    command = [tool.args.updater, "--localPath", local, "--remotePath", remote]
    second = bench.timed(command, tool.work, env)
    with open(os.path.join(local, "updates", "updater.log"), encoding="latin-1") as log:
        text = log.read()
    stored = os.path.join(local, "updates", "available", bench.PACKAGE)
    if RESUMED not in text or bench.file_md5(stored) != expected:
        sys.exit("the second run did not resume into the right package")
    shutil.rmtree(local)
    return {"cpu": first["cpu"] + second["cpu"], "rss": max(first["rss"], second["rss"]),
            "rss1": first["rss"], "rss2": second["rss"]}


def sent_bytes(work):
    with open(os.path.join(work, "access.log")) as log:
        lines = log.read().split()
    open(os.path.join(work, "access.log"), "w").close()
    return sum(int(n) for n in lines)


def main():
    args = parse_args()
    work = tempfile.mkdtemp(prefix="updater-bench-resumed.")
    bench.print_machine(args)
    # Counts what the server sent for the package, nothing else.
    bench.NGINX_CONF = bench.NGINX_CONF.replace(
        "access_log off;", "log_format sent '$body_bytes_sent';\n"
        "    access_log {work}/access.log sent if=$package;\n"
        "    map $uri $package {{ ~\\.pkg$ 1; default 0; }}")
    nginx = None
    try:
        docroot = os.path.join(work, "www")
        os.makedirs(docroot)
        _, expected = bench.write_repository(docroot, args.size)
        nginx = bench.Nginx(work, docroot)
        remote = "http://127.0.0.1:%d/" % nginx.port
        tool = bench.Bench(args, work)
        whole, split, twice = [], [], []
        for _ in range(args.reps):
            whole.append(tool.run_updater(remote, expected, args.size))
            sent_bytes(work)
            split.append(resumed(tool, remote, args.size, expected))
            twice.append(sent_bytes(work) - args.size)
        label = bench.size_label(args.size)
        cpu_whole, cpu_split = bench.median(whole, "cpu"), bench.median(split, "cpu")
        print("%s cpu_ratio_resumed/whole %.3f" % (label, cpu_split / cpu_whole))
        print("%s whole_cpu_s %.2f" % (label, cpu_whole))
        print("%s resumed_cpu_s %.2f" % (label, cpu_split))
        print("%s resumed_peak_rss_max_mib %.1f" % (label, max(r["rss"] for r in split) / 1024.0))
        print("%s killed_run_peak_rss_max_mib %.1f" % (label, max(r["rss1"] for r in split) / 1024.0))
        print("%s resuming_run_peak_rss_max_mib %.1f" % (label, max(r["rss2"] for r in split) / 1024.0))
        print("%s whole_peak_rss_max_mib %.1f" % (label, max(r["rss"] for r in whole) / 1024.0))
        print("%s bytes_fetched_twice_median %d" % (label, sorted(twice)[len(twice) // 2]))
    finally:
        if nginx:
            nginx.stop()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
