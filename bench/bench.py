#!/usr/bin/env python3
"""Times the updater against curl/cp followed by md5sum on a large package.

Generates a package, serves it with a manifest from a private nginx on
127.0.0.1, and alternates (A) one whole updater run into a fresh local
directory with (B) the standard tools doing the same work back to back.
Prints medians as plain "name value" lines that can be compared between
commits. Only the Python standard library, nginx, curl, cp, md5sum and
/usr/bin/time are used.
"""

import argparse
import hashlib
import json
import os
import platform
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import time

import durable

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
PACKAGE = "mirelle-99.0.0.pkg"
TIME_FORMAT = "%M %e %U %S"
NGINX_CONF = """\
{user}
daemon off;
worker_processes 1;
pid {work}/nginx.pid;
error_log {work}/nginx-error.log warn;
events {{ worker_connections 64; }}
http {{
    access_log off;
    default_type application/octet-stream;
    sendfile on;
    tcp_nopush on;
    client_body_temp_path {work}/nginx-body;
    proxy_temp_path {work}/nginx-proxy;
    fastcgi_temp_path {work}/nginx-fastcgi;
    uwsgi_temp_path {work}/nginx-uwsgi;
    scgi_temp_path {work}/nginx-scgi;
    server {{
        listen 127.0.0.1:{port};
        root {docroot};
    }}
}}
"""


def parse_size(text):
    units = {"": 1, "K": 1 << 10, "M": 1 << 20, "G": 1 << 30}
    text = text.strip().upper().rstrip("B").rstrip("I")
    suffix = text[-1] if text and text[-1] in units else ""
    return int(float(text[: len(text) - len(suffix)]) * units[suffix])


def size_label(size):
    for unit, factor in (("G", 1 << 30), ("M", 1 << 20), ("K", 1 << 10)):
        if size % factor == 0:
            return "%d%s" % (size // factor, unit)
    return str(size)


def make_package(path, size):
    """Writes incompressible data; returns its MD5 digest."""
    digest = hashlib.md5()
    block = os.urandom(8 << 20)
    written = 0
    with open(path, "wb") as out:
        while written < size:
            # A fresh prefix per block keeps every block distinct.
            piece = (os.urandom(64) + block[64:])[: size - written]
            digest.update(piece)
            out.write(piece)
            written += len(piece)
    return digest.hexdigest()


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as sock:
        sock.bind(("127.0.0.1", 0))
        return sock.getsockname()[1]


class Nginx:
    def __init__(self, work, docroot):
        self.work = work
        self.port = free_port()
        conf = os.path.join(work, "nginx.conf")
        user = "user root;" if os.geteuid() == 0 else ""
        with open(conf, "w") as out:
            out.write(NGINX_CONF.format(user=user, work=work, port=self.port, docroot=docroot))
        self.proc = subprocess.Popen(
            ["nginx", "-p", work, "-c", conf, "-e", os.path.join(work, "nginx-error.log")],
            stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL,
        )
        self._wait_ready()

    def _wait_ready(self):
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            if self.proc.poll() is not None:
                sys.exit("nginx exited; see %s/nginx-error.log" % self.work)
            try:
                socket.create_connection(("127.0.0.1", self.port), timeout=0.2).close()
                return
            except OSError:
                time.sleep(0.05)
        self.stop()
        sys.exit("nginx did not start listening on port %d" % self.port)

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()


def timed(command, work, env=None, stdout=subprocess.DEVNULL):
    """Runs command under /usr/bin/time; returns wall, peak RSS (KiB), user, sys."""
    report = os.path.join(work, "time.out")
    full = ["/usr/bin/time", "-f", TIME_FORMAT, "-o", report] + command
    start = time.perf_counter()
    status = subprocess.run(full, env=env, stdout=stdout, stderr=subprocess.DEVNULL).returncode
    wall = time.perf_counter() - start
    if status != 0:
        sys.exit("command failed with status %d: %s" % (status, " ".join(command)))
    with open(report) as text:
        fields = text.read().split()[-4:]
    return {"wall": wall, "rss": int(fields[0]), "cpu": float(fields[2]) + float(fields[3])}


def file_md5(path):
    digest = hashlib.md5()
    with open(path, "rb") as source:
        for block in iter(lambda: source.read(4 << 20), b""):
            digest.update(block)
    return digest.hexdigest()


class Bench:
    def __init__(self, args, work):
        self.args = args
        self.work = work
        self.runs = 0

    def fresh_local(self):
        """A new local directory and instance-lock directory for one updater run."""
        self.runs += 1
        local = os.path.join(self.work, "local-%d" % self.runs)
        tmp = os.path.join(self.work, "tmp-%d" % self.runs)
        os.makedirs(os.path.join(local, "backup", "logs"))
        os.makedirs(tmp)
        env = dict(os.environ, TMPDIR=tmp)
        return local, env

    def run_updater(self, remote, expected=None, size=None, check_file=False, must_log=()):
        local, env = self.fresh_local()
        command = [self.args.updater, "--localPath", local, "--remotePath", remote]
        sync_disk()
        if size:
            prewarm(self.work, size)
        result = timed(command, self.work, env)
        log_path = os.path.join(local, "updates", "updater.log")
        with open(log_path, encoding="latin-1") as log:
            lines = log.read().splitlines()
        result["log_lines"] = len(lines)
        result["progress_lines"] = sum(1 for line in lines if "] Downloaded " in line)
        if expected is not None:
            stored = os.path.join(local, "updates", "available", PACKAGE)
            success = "SUCCESS: MD5 hash of downloaded file is %s, as expected." % expected
            if not os.path.isfile(stored) or os.path.getsize(stored) != size:
                sys.exit("updater did not store the package; log: %s" % log_path)
            if not any(success in line for line in lines):
                sys.exit("updater did not verify the package; log: %s" % log_path)
            if check_file and file_md5(stored) != expected:
                sys.exit("stored package has the wrong digest")
        for text in must_log:
            if not any(text in line for line in lines):
                sys.exit("updater did not log %r; log: %s" % (text, log_path))
        shutil.rmtree(local)
        shutil.rmtree(env["TMPDIR"])
        return result

    def run_tools(self, fetch, expected, size):
        """fetch is the command that puts the package at target; then md5sum checks it."""
        target = os.path.join(self.work, "tools-copy.pkg")
        script = '%s && md5sum "$1" > "$2"' % fetch
        digest_out = os.path.join(self.work, "md5sum.out")
        sync_disk()
        prewarm(self.work, size)
        result = timed(["sh", "-c", script, "sh", target, digest_out], self.work)
        with open(digest_out) as text:
            if text.read().split()[0] != expected:
                sys.exit("md5sum of the tools' copy does not match")
        os.remove(target)
        return result


def sync_disk():
    # Write-back of the previous run must not be charged to the next one.
    os.sync()


def prewarm(work, size):
    """Writes and deletes a scratch file of the package's size.

    In a virtual machine the host may take back memory that the guest left
    free for a few seconds, and the guest then pays for touching it again:
    a 1 GiB write into the page cache can cost 0.3 s or 3 s depending on
    how long ago the previous run's files were deleted. Recycling the pages
    just before each timed run gives both sides the same start.
    """
    scratch = os.path.join(work, "prewarm.tmp")
    block = bytes(8 << 20)
    with open(scratch, "wb") as out:
        for _ in range(0, size, len(block)):
            out.write(block)
    os.remove(scratch)


def median(results, key):
    return statistics.median(r[key] for r in results)


def report_pair(label, a_runs, b_runs, tool_name):
    a_wall, b_wall = median(a_runs, "wall"), median(b_runs, "wall")
    print("%s wall_ratio_updater/%s %.3f" % (label, tool_name, a_wall / b_wall))
    print("%s updater_wall_s %.3f" % (label, a_wall))
    print("%s %s_wall_s %.3f" % (label, tool_name, b_wall))
    print("%s updater_peak_rss_mib %.1f" % (label, median(a_runs, "rss") / 1024.0))
    print("%s updater_peak_rss_max_mib %.1f" % (label, max(r["rss"] for r in a_runs) / 1024.0))
    print("%s updater_cpu_s %.2f" % (label, median(a_runs, "cpu")))
    print("%s %s_cpu_s %.2f" % (label, tool_name, median(b_runs, "cpu")))
    print("%s updater_log_lines %d" % (label, median(a_runs, "log_lines")))
    print("%s updater_progress_lines %d" % (label, median(a_runs, "progress_lines")))
    sys.stdout.flush()


def bench_transfer(bench, label, remote, fetch, tool_name, expected, size):
    a_runs, b_runs = [], []
    for rep in range(bench.args.reps):
        a_runs.append(bench.run_updater(remote, expected, size, check_file=rep == 0))
        b_runs.append(bench.run_tools(fetch, expected, size))
        if bench.args.verbose:
            print("# %s rep %d: updater %s, %s %s" % (label, rep + 1, a_runs[-1], tool_name,
                                                       b_runs[-1]))
    report_pair(label, a_runs, b_runs, tool_name)


def bench_idle(bench, remote):
    """Runs that stop at a package already waiting in available."""
    runs = []
    for _ in range(bench.args.idle_reps):
        local, env = bench.fresh_local()
        available = os.path.join(local, "updates", "available")
        os.makedirs(available)
        with open(os.path.join(available, PACKAGE), "wb") as out:
            out.write(b"waiting")
        command = [bench.args.updater, "--localPath", local, "--remotePath", remote]
        runs.append(timed(command, bench.work, env))
        shutil.rmtree(local)
        shutil.rmtree(env["TMPDIR"])
    print("idle updater_wall_ms %.1f" % (median(runs, "wall") * 1000))
    print("idle updater_wall_min_ms %.1f" % (min(r["wall"] for r in runs) * 1000))
    print("idle updater_peak_rss_mib %.1f" % (median(runs, "rss") / 1024.0))
    sys.stdout.flush()


def write_repository(docroot, size):
    kind = os.path.join(docroot, "pc")
    os.makedirs(kind, exist_ok=True)
    package = os.path.join(kind, PACKAGE)
    expected = make_package(package, size)
    manifest = {
        "compatible_os_version": "7+",
        "md5": expected,
        "os": "windows",
        "package": PACKAGE,
        "version": "99.0.0",
        "kind": "pc",
    }
    with open(os.path.join(kind, "updates.json"), "w") as out:
        json.dump(manifest, out, indent=4)
    return package, expected


def print_machine(args):
    model = "unknown"
    with open("/proc/cpuinfo") as info:
        for line in info:
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    mem_kib = 0
    with open("/proc/meminfo") as info:
        for line in info:
            if line.startswith("MemTotal:"):
                mem_kib = int(line.split()[1])
    print("date %s" % time.strftime("%Y-%m-%d %H:%M:%S %z"))
    print("machine %s, %d cores, %s, %.1f GiB RAM" % (
        platform.node(), os.cpu_count(), model, mem_kib / 1048576.0))
    print("load_average_at_start %.2f %.2f %.2f" % os.getloadavg())
    print("updater %s" % args.updater)
    print("repetitions %d (idle %d); figures are medians" % (args.reps, args.idle_reps))
    print("method: updater and tools alternate; page cache recycled before each timed transfer")
    sys.stdout.flush()


def parse_args():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size", default="1G",
                        help="package sizes, comma-separated (e.g. 1G or 1G,4G; default 1G)")
    parser.add_argument("--reps", type=int, default=5, help="repetitions per scenario")
    parser.add_argument("--idle-reps", type=int, default=21,
                        help="repetitions of the run that stops at a waiting package")
    parser.add_argument("--scenarios", default="http,file,idle",
                        help="comma-separated subset of http,file,idle,durable,load")
    parser.add_argument("--updater", default=os.path.join(ROOT, "build", "updater"))
    parser.add_argument("--workdir", default=None,
                        help="parent of the temporary work directory (default: $TMPDIR)")
    parser.add_argument("--verbose", action="store_true", help="print every repetition")
    durable.add_arguments(parser)
    args = parser.parse_args()
    args.sizes = [parse_size(s) for s in args.size.split(",") if s.strip()]
    args.scenarios = set(s.strip() for s in args.scenarios.split(",") if s.strip())
    unknown = args.scenarios - {"http", "file", "idle"} - durable.SCENARIOS
    if unknown:
        parser.error("unknown scenarios: %s" % ", ".join(sorted(unknown)))
    args.updater = os.path.abspath(args.updater)
    return args


def main():
    args = parse_args()
    if not os.access(args.updater, os.X_OK):
        sys.exit("no updater at %s; build it first (tools/build.sh build)" % args.updater)
    print_machine(args)
    work = tempfile.mkdtemp(prefix="updater-bench.", dir=args.workdir)
    docroot = os.path.join(work, "www")
    nginx = None
    try:
        os.makedirs(docroot)
        nginx = Nginx(work, docroot)
        bench = Bench(args, work)
        http_root = "http://127.0.0.1:%d/" % nginx.port
        for size in args.sizes:
            label = size_label(size)
            package, expected = write_repository(docroot, size)
            if "http" in args.scenarios:
                fetch = 'curl -sSf -o "$1" %spc/%s' % (http_root, PACKAGE)
                bench_transfer(bench, "%s.http" % label, http_root, fetch, "curl+md5sum",
                               expected, size)
            if "file" in args.scenarios:
                fetch = 'cp "%s" "$1"' % package
                bench_transfer(bench, "%s.file" % label, "file://" + docroot, fetch,
                               "cp+md5sum", expected, size)
            durable.run_scenarios(bench, label, http_root, docroot, package, expected, size)
            os.remove(package)
        if "idle" in args.scenarios:
            bench_idle(bench, http_root)
        print("load_average_at_end %.2f %.2f %.2f" % os.getloadavg())
    finally:
        if nginx:
            nginx.stop()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
