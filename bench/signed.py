#!/usr/bin/env python3
"""Times a signed update beside an unsigned one, and a run that finds nothing new.

The keyless updater (BUILD/updater) and the updater built with the test key
(BUILD/updater-testkey, made when the tests are enabled) fetch the same
package over http from a private nginx, in alternation, each into a fresh
local directory. The signed run also fetches PACKAGE.minisig, made by
minisign with the build's test key, and checks it before the package is
stored. Prints "name value" lines like bench.py, medians of --reps runs.
"""

import argparse
import copy
import os
import shutil
import subprocess
import sys
import tempfile

import bench

VERIFIED = "SUCCESS: Signature of downloaded file verified with key"
MANIFEST_VERIFIED = "SUCCESS: Signature of updates.json verified with key"
NOTHING_NEW = "The most recent update has already been installed. No updates found."


def parse_args():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size", default="1G", help="package sizes, comma-separated")
    parser.add_argument("--reps", type=int, default=5, help="repetitions of each run")
    parser.add_argument("--build", default=os.path.join(bench.ROOT, "build"))
    parser.add_argument("--workdir", default=None, help="parent of the work directory")
    parser.add_argument("--verbose", action="store_true", help="print every repetition")
    parser.add_argument("--scenarios", default="package,nothing-new",
                        help="package (a signed download), nothing-new (a signed manifest "
                             "offering the running version)")
    parser.add_argument("--nothing-new-reps", type=int, default=21,
                        help="repetitions of each nothing-new run")
    args = parser.parse_args()
    args.sizes = [bench.parse_size(s) for s in args.size.split(",") if s.strip()]
    args.build = os.path.abspath(args.build)
    args.idle_reps = args.nothing_new_reps
    return args


def updater_bench(args, work, program):
    own = copy.copy(args)
    own.updater = os.path.join(args.build, program)
    if not os.access(own.updater, os.X_OK):
        sys.exit("no %s; build it with the tests enabled (bench/run-signed.sh)" % own.updater)
    return bench.Bench(own, work)


def report(label, unsigned, signed):
    wall_u, wall_s = bench.median(unsigned, "wall"), bench.median(signed, "wall")
    print("%s wall_ratio_signed/unsigned %.3f" % (label, wall_s / wall_u))
    print("%s unsigned_wall_s %.3f" % (label, wall_u))
    print("%s signed_wall_s %.3f" % (label, wall_s))
    for name, runs in (("unsigned", unsigned), ("signed", signed)):
        print("%s %s_peak_rss_mib %.1f" % (label, name, bench.median(runs, "rss") / 1024.0))
        print("%s %s_peak_rss_max_mib %.1f" % (label, name, max(r["rss"] for r in runs) / 1024.0))
        print("%s %s_cpu_s %.2f" % (label, name, bench.median(runs, "cpu")))
    sys.stdout.flush()


def sign(args, path):
    key = os.path.join(args.build, "testkey", "minisign.key")
    subprocess.run(["minisign", "-S", "-s", key, "-m", path], check=True,
                   stdout=subprocess.DEVNULL)


def alternate(args, plain, keyed, remote, reps, **kwargs):
    """Runs both updaters reps times, each pair starting with the other side."""
    unsigned, signed = [], []
    for rep in range(reps):
        order = [False, True] if rep % 2 == 0 else [True, False]
        for is_signed in order:
            runs, tool = (signed, keyed) if is_signed else (unsigned, plain)
            must = kwargs.get("must_log_signed" if is_signed else "must_log", ())
            runs.append(tool.run_updater(remote, kwargs.get("expected"), kwargs.get("size"),
                                         check_file=rep == 0 and "expected" in kwargs,
                                         must_log=must))
        if args.verbose:
            print("# rep %d: unsigned %s, signed %s" % (rep + 1, unsigned[-1], signed[-1]))
    return unsigned, signed


def bench_nothing_new(args, plain, keyed, docroot, remote):
    """A signed manifest that offers the running version: the keyed updater
    fetches updates.json.minisig too and checks it; neither downloads."""
    package, _ = bench.write_repository(docroot, 1024)
    manifest = os.path.join(docroot, "pc", "updates.json")
    with open(manifest) as source:
        text = source.read().replace('"99.0.0"', '"2.1.1702011951"')
    with open(manifest, "w") as out:
        out.write(text)
    sign(args, manifest)
    unsigned, signed = alternate(args, plain, keyed, remote, args.nothing_new_reps,
                                 must_log=[NOTHING_NEW],
                                 must_log_signed=[MANIFEST_VERIFIED, NOTHING_NEW])
    wall_u, wall_s = bench.median(unsigned, "wall"), bench.median(signed, "wall")
    print("nothing_new wall_ratio_signed/unsigned %.3f" % (wall_s / wall_u))
    print("nothing_new unsigned_wall_ms %.1f" % (wall_u * 1000))
    print("nothing_new signed_wall_ms %.1f" % (wall_s * 1000))
    print("nothing_new signed_minus_unsigned_ms %.1f" % ((wall_s - wall_u) * 1000))
    sys.stdout.flush()
    for path in (package, manifest, manifest + ".minisig"):
        os.remove(path)


def bench_size(args, plain, keyed, docroot, remote, size):
    package, expected = bench.write_repository(docroot, size)
    sign(args, package)
    sign(args, os.path.join(docroot, "pc", "updates.json"))
    unsigned, signed = alternate(args, plain, keyed, remote, args.reps, expected=expected,
                                 size=size, must_log_signed=[VERIFIED])
    report("%s.http" % bench.size_label(size), unsigned, signed)
    os.remove(package)
    os.remove(package + ".minisig")


def main():
    args = parse_args()
    work = tempfile.mkdtemp(prefix="updater-bench-signed.", dir=args.workdir)
    plain = updater_bench(args, work, "updater")
    keyed = updater_bench(args, work, "updater-testkey")
    args.updater = "%s and %s" % (plain.args.updater, keyed.args.updater)
    bench.print_machine(args)
    docroot = os.path.join(work, "www")
    nginx = None
    try:
        os.makedirs(docroot)
        nginx = bench.Nginx(work, docroot)
        remote = "http://127.0.0.1:%d/" % nginx.port
        scenarios = args.scenarios.split(",")
        if "nothing-new" in scenarios:
            bench_nothing_new(args, plain, keyed, docroot, remote)
        for size in args.sizes if "package" in scenarios else ():
            bench_size(args, plain, keyed, docroot, remote, size)
        print("load_average_at_end %.2f %.2f %.2f" % os.getloadavg())
    finally:
        if nginx:
            nginx.stop()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
