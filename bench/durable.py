"""Scenarios of bench.py about the durable hand-over and memory under load.

durable: the updater against two references that fetch and check the
package, the plain one (curl or cp, then md5sum) and the durable one (the
same, then `sync FILE`, which flushes that file), with the package bytes left
in the page cache right after each run (util-linux fincore).

load: many updater runs while the script keeps the machine busy with
busy-loop processes and dd writers; reports the largest peak resident memory.
"""

import os
import shutil
import signal
import statistics
import subprocess
import sys
import time

import bench as core

MIB = 1024.0 * 1024.0


def cached_bytes(path):
    """Bytes of the file that are in the page cache now."""
    out = subprocess.run(["fincore", "--bytes", "--noheadings", "--output", "RES", path],
                         stdout=subprocess.PIPE, check=True, universal_newlines=True).stdout
    return int(out.split()[0])


def run_updater(bench, remote, expected, size, prepare=True):
    """One whole updater run; also what of the stored package stays cached."""
    local, env = bench.fresh_local()
    if prepare:
        core.sync_disk()
        core.prewarm(bench.work, size)
    command = [bench.args.updater, "--localPath", local, "--remotePath", remote]
    result = core.timed(command, bench.work, env)
    stored = os.path.join(local, "updates", "available", core.PACKAGE)
    with open(os.path.join(local, "updates", "updater.log"), encoding="latin-1") as log:
        verified = "hash of downloaded file is %s, as expected." % expected in log.read()
    if not verified or not os.path.isfile(stored) or os.path.getsize(stored) != size:
        sys.exit("updater did not store the verified package in %s" % local)
    result["cached"] = cached_bytes(stored)
    shutil.rmtree(local)
    shutil.rmtree(env["TMPDIR"])
    return result


def run_reference(bench, fetch, expected, size, durable):
    """fetch puts the package at "$1"; md5sum checks it; `sync FILE` if durable."""
    target = os.path.join(bench.work, "reference.pkg")
    digest_out = os.path.join(bench.work, "reference.md5")
    script = '%s && md5sum "$1" > "$2"' % fetch + (' && sync "$1"' if durable else "")
    core.sync_disk()
    core.prewarm(bench.work, size)
    result = core.timed(["sh", "-c", script, "sh", target, digest_out], bench.work)
    with open(digest_out) as text:
        if text.read().split()[0] != expected:
            sys.exit("md5sum of the reference copy does not match")
    result["cached"] = cached_bytes(target)
    os.remove(target)
    return result


def report(label, runs):
    names = list(runs)
    walls = {name: core.median(runs[name], "wall") for name in names}
    for name in names[1:]:
        print("%s wall_ratio_updater/%s %.3f" % (label, name, walls["updater"] / walls[name]))
    for name in names:
        print("%s %s_wall_s %.3f" % (label, name, walls[name]))
        print("%s %s_cached_mib %.1f" % (label, name, core.median(runs[name], "cached") / MIB))
    updater = runs["updater"]
    print("%s updater_cached_max_mib %.1f" % (label, max(r["cached"] for r in updater) / MIB))
    print("%s updater_peak_rss_mib %.1f" % (label, core.median(updater, "rss") / 1024.0))
    print("%s updater_peak_rss_max_mib %.1f" % (label, max(r["rss"] for r in updater) / 1024.0))
    print("%s updater_cpu_s %.2f" % (label, core.median(updater, "cpu")))
    sys.stdout.flush()


def bench_durable(bench, label, remote, fetch, tool, expected, size):
    """Alternates the updater, the plain reference and the durable one."""
    runs = {"updater": [], tool: [], tool + "+sync": []}
    for rep in range(bench.args.reps):
        runs["updater"].append(run_updater(bench, remote, expected, size))
        runs[tool].append(run_reference(bench, fetch, expected, size, durable=False))
        runs[tool + "+sync"].append(run_reference(bench, fetch, expected, size, durable=True))
        if bench.args.verbose:
            print("# %s rep %d: %s" % (label, rep + 1, {k: v[-1] for k, v in runs.items()}))
    report(label, runs)


class Load:
    """Busy-loop processes and dd writers, each in a session of its own."""

    def __init__(self, work, spinners, writers):
        self.procs = [self._start([sys.executable, "-c", "while True: pass"])
                      for _ in range(spinners)]
        for index in range(writers):
            scratch = os.path.join(work, "load-%d.tmp" % index)
            loop = ('while :; do dd if=/dev/zero of="%s" bs=1M count=256 conv=fdatasync '
                    'status=none; done' % scratch)
            self.procs.append(self._start(["sh", "-c", loop]))

    @staticmethod
    def _start(command):
        return subprocess.Popen(command, start_new_session=True, stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL)

    def wait_for(self, load, limit_s=180):
        """Until the one-minute load average reaches `load`, at most limit_s."""
        deadline = time.monotonic() + limit_s
        while os.getloadavg()[0] < load and time.monotonic() < deadline:
            time.sleep(2)

    def stop(self):
        for proc in self.procs:
            try:
                os.killpg(proc.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
            proc.wait()


def bench_load(bench, remote, expected, size):
    """Many updater runs under load: the largest peak resident memory."""
    args = bench.args
    load = Load(bench.work, args.load_spinners, args.load_writers)
    try:
        load.wait_for(args.load_target)
        runs, loads = [], []
        for index in range(args.load_runs):
            loads.append(os.getloadavg()[0])
            runs.append(run_updater(bench, remote, expected, size, prepare=False))
            if args.verbose:
                print("# load run %d: load %.2f, %s" % (index + 1, loads[-1], runs[-1]))
                sys.stdout.flush()
    finally:
        load.stop()
        for name in os.listdir(bench.work):
            if name.startswith("load-"):
                os.remove(os.path.join(bench.work, name))
    peaks = [r["rss"] / 1024.0 for r in runs]
    label = "%s.load" % core.size_label(size)
    print("%s runs %d" % (label, len(runs)))
    print("%s load_average_min %.2f" % (label, min(loads)))
    print("%s load_average_median %.2f" % (label, statistics.median(loads)))
    print("%s updater_wall_s %.3f" % (label, core.median(runs, "wall")))
    print("%s updater_peak_rss_mib %.1f" % (label, statistics.median(peaks)))
    print("%s updater_peak_rss_max_mib %.1f" % (label, max(peaks)))
    print("%s runs_over_32_mib %d" % (label, sum(1 for p in peaks if p > 32)))
    sys.stdout.flush()


SCENARIOS = {"durable", "load"}


def add_arguments(parser):
    parser.add_argument("--load-runs", type=int, default=50, help="updater runs under load")
    parser.add_argument("--load-target", type=float, default=8.0,
                        help="one-minute load average to reach before the runs under load")
    parser.add_argument("--load-spinners", type=int, default=6, help="busy-loop processes")
    parser.add_argument("--load-writers", type=int, default=2, help="dd writers (fdatasync)")


def run_scenarios(bench, label, http_root, docroot, package, expected, size):
    scenarios = bench.args.scenarios
    if "durable" in scenarios:
        fetch = 'curl -sSf -o "$1" %spc/%s' % (http_root, core.PACKAGE)
        bench_durable(bench, label + ".durable-http", http_root, fetch, "curl+md5sum", expected,
                      size)
        fetch = 'cp "%s" "$1"' % package
        bench_durable(bench, label + ".durable-file", "file://" + docroot, fetch, "cp+md5sum",
                      expected, size)
    if "load" in scenarios:
        bench_load(bench, http_root, expected, size)
