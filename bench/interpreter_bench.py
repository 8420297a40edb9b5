#!/usr/bin/env python3
"""Runs the BrumeScript / Lua 5.4 benchmark pairs of bench/scripts and reports
median wall time, peak memory (max RSS) and their ratios.

Each pair is NAME.bs and NAME.lua; both must print byte-identical standard
output. With --baseline, a second brumevale executable (an older build) runs
every NAME.bs too, and each pair also gets its time ratio to that executable.
Started by bench/run-interpreter-bench.sh, which builds the executables first.
The figures are informational: the exit status is 1 only when a run of the
current executable or of Lua fails or their outputs differ, never because a
target is missed or the baseline misbehaves.
"""

import argparse
import math
import os
import signal
import statistics
import subprocess
import sys
import tempfile
import threading
import time

TIME_GEOMEAN_TARGET = 1.8
TIME_RATIO_LIMIT = 3.0
MEMORY_RATIO_LIMIT = 2.0
# A pair may be this much slower than the baseline before it counts as a regression.
BASELINE_SLOWDOWN_LIMIT = 1.05
GNU_TIME = "/usr/bin/time"


class Run:
    def __init__(self, seconds, max_rss_kb, status, stdout, stderr):
        self.seconds = seconds
        self.max_rss_kb = max_rss_kb
        self.status = status
        self.stdout = stdout
        self.stderr = stderr


def run_once(command, cwd, timeout):
    """Runs one command; returns its wall time, peak RSS, exit status and output.

    The peak RSS comes from /usr/bin/time rather than from this process's
    wait4: a child forked from the Python interpreter starts with Python's
    resident size as its high-water mark, which would hide small programs.
    """
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err, \
            tempfile.NamedTemporaryFile(mode="r") as usage:
        start = time.perf_counter()
        process = subprocess.Popen([GNU_TIME, "-f", "%M", "-o", usage.name] + command,
                                   cwd=cwd, stdin=subprocess.DEVNULL, stdout=out, stderr=err,
                                   start_new_session=True)
        timer = threading.Timer(timeout, os.killpg, (process.pid, signal.SIGKILL))
        timer.start()
        try:
            status = process.wait()
        finally:
            timer.cancel()
        seconds = time.perf_counter() - start
        lines = usage.read().split()
        max_rss_kb = int(lines[-1]) if lines and lines[-1].isdigit() else 0
        out.seek(0)
        err.seek(0)
        return Run(seconds, max_rss_kb, status, out.read(), err.read())


def excerpt(data, limit=20):
    lines = data.decode("utf-8", "replace").splitlines()
    shown = lines[:limit]
    if len(lines) > limit:
        shown.append("... (%d more lines)" % (len(lines) - limit))
    return "\n".join("    " + line for line in shown) if shown else "    (empty)"


def check_runs(name, side, runs):
    """Returns an error text when a run failed or the runs disagree, else None."""
    for index, run in enumerate(runs, 1):
        if run.status != 0:
            how = ("was killed by signal %d (timeout?)" % -run.status if run.status < 0
                   else "exited with status %d" % run.status)
            return ("%s: %s run %d %s\n  stderr:\n%s\n  stdout:\n%s"
                    % (name, side, index, how, excerpt(run.stderr), excerpt(run.stdout)))
    for index, run in enumerate(runs[1:], 2):
        if run.stdout != runs[0].stdout:
            return ("%s: %s run %d printed something else than run 1\n  run 1:\n%s\n  run %d:\n%s"
                    % (name, side, index, excerpt(runs[0].stdout), index, excerpt(run.stdout)))
    return None


def median_ratio(runs, references):
    """The median of each run's time over the time of the reference run beside it.

    Each run is compared with its neighbour, so that a burst of load on the
    machine skews one ratio rather than one side.
    """
    return statistics.median(run.seconds / ref.seconds for run, ref in zip(runs, references))


def discover(scripts_dir, wanted):
    names = sorted(entry[:-3] for entry in os.listdir(scripts_dir) if entry.endswith(".bs"))
    missing = [name for name in names
               if not os.path.exists(os.path.join(scripts_dir, name + ".lua"))]
    if missing:
        sys.exit("no Lua counterpart for: " + ", ".join(n + ".bs" for n in missing))
    if wanted:
        unknown = [name for name in wanted if name not in names]
        if unknown:
            sys.exit("unknown benchmark(s): %s (available: %s)"
                     % (", ".join(unknown), ", ".join(names)))
        names = [name for name in names if name in wanted]
    return names


def verdict(ok):
    return "PASS" if ok else "FAIL"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--brumevale", required=True, help="the brumevale executable")
    parser.add_argument("--lua", required=True, help="the Lua 5.4 interpreter")
    parser.add_argument("--baseline", help="an older brumevale executable to compare with")
    parser.add_argument("--baseline-label", default="",
                        help="what the baseline was built from, for the report")
    parser.add_argument("--scripts", required=True, help="directory of NAME.bs / NAME.lua pairs")
    parser.add_argument("--runs", type=int, default=5, help="runs per side and benchmark")
    parser.add_argument("--timeout", type=float, default=300.0, help="seconds allowed per run")
    parser.add_argument("names", nargs="*", help="benchmarks to run (default: all)")
    args = parser.parse_args()
    if args.runs < 1:
        sys.exit("--runs must be at least 1")
    if not os.access(GNU_TIME, os.X_OK):
        sys.exit(GNU_TIME + " is needed to measure peak memory (apt-get install -y time)")

    scripts_dir = os.path.abspath(args.scripts)
    brumevale = os.path.abspath(args.brumevale)
    baseline = os.path.abspath(args.baseline) if args.baseline else None
    names = discover(scripts_dir, args.names)
    lua_version = subprocess.run([args.lua, "-v"], capture_output=True, text=True)
    print("BrumeScript: %s" % brumevale)
    print("Lua:         %s (%s)" % (args.lua, (lua_version.stdout or lua_version.stderr).strip()))
    if baseline:
        print("Baseline:    %s%s" % (baseline, " (%s)" % args.baseline_label if args.baseline_label else ""))
    print("Runs:        %d per side, alternating; times are medians, each time ratio is the median"
          % args.runs)
    print("             of each run's ratio to the run beside it; memory is the peak RSS of all runs")
    print(flush=True)

    results = []
    failures = []
    baseline_problems = []
    for name in names:
        print("running %s ..." % name, file=sys.stderr, flush=True)
        bs_runs, lua_runs, base_runs = [], [], []
        # Alternate the sides so that drift in machine load hits them alike.
        for _ in range(args.runs):
            bs_runs.append(run_once([brumevale, name + ".bs"], scripts_dir, args.timeout))
            lua_runs.append(run_once([args.lua, name + ".lua"], scripts_dir, args.timeout))
            if baseline:
                base_runs.append(run_once([baseline, name + ".bs"], scripts_dir, args.timeout))
        problem = check_runs(name, "BrumeScript", bs_runs) or check_runs(name, "Lua", lua_runs)
        if problem is None and bs_runs[0].stdout != lua_runs[0].stdout:
            problem = ("%s: outputs differ\n  BrumeScript:\n%s\n  Lua:\n%s"
                       % (name, excerpt(bs_runs[0].stdout), excerpt(lua_runs[0].stdout)))
        if problem is not None:
            failures.append(problem)
            results.append((name, None))
            continue
        vs_base = None
        if baseline:
            # A baseline that cannot run a newer benchmark says nothing about speed.
            base_problem = check_runs(name, "baseline", base_runs)
            if base_problem is None and base_runs[0].stdout != lua_runs[0].stdout:
                base_problem = ("%s: the baseline prints something else than Lua\n  baseline:\n%s"
                                % (name, excerpt(base_runs[0].stdout)))
            if base_problem is None:
                vs_base = (statistics.median(run.seconds for run in base_runs),
                           median_ratio(bs_runs, base_runs))
            else:
                baseline_problems.append(base_problem)
        bs_time = statistics.median(run.seconds for run in bs_runs)
        lua_time = statistics.median(run.seconds for run in lua_runs)
        time_ratio = median_ratio(bs_runs, lua_runs)
        bs_mem = max(run.max_rss_kb for run in bs_runs)
        lua_mem = max(run.max_rss_kb for run in lua_runs)
        results.append((name, (bs_time, lua_time, time_ratio,
                               bs_mem, lua_mem, bs_mem / lua_mem, vs_base)))

    width = max([len("benchmark")] + [len(name) for name in names])
    header = "%-*s %10s %10s %8s %10s %10s %8s" % (
        width, "benchmark", "bs (s)", "lua (s)", "time x", "bs (MB)", "lua (MB)", "mem x")
    if baseline:
        header += " %10s %8s" % ("base (s)", "vs base")
    print(header)
    print("-" * len(header))
    for name, figures in results:
        if figures is None:
            print("%-*s %s" % (width, name, "FAILED (see below)"))
            continue
        bs_time, lua_time, time_ratio, bs_mem, lua_mem, mem_ratio, vs_base = figures
        line = "%-*s %10.3f %10.3f %8.2f %10.1f %10.1f %8.2f" % (
            width, name, bs_time, lua_time, time_ratio, bs_mem / 1024.0, lua_mem / 1024.0, mem_ratio)
        if baseline:
            line += (" %10.3f %8.2f" % vs_base) if vs_base else " %10s %8s" % ("failed", "-")
        print(line)
    print()

    measured = [(name, figures) for name, figures in results if figures is not None]
    if measured:
        geomean = math.exp(sum(math.log(f[2]) for _, f in measured) / len(measured))
        slow = ["%s %.2f" % (name, f[2]) for name, f in measured if f[2] > TIME_RATIO_LIMIT]
        heavy = ["%s %.2f" % (name, f[5]) for name, f in measured if f[5] > MEMORY_RATIO_LIMIT]
        print("Geometric mean of the time ratios: %.2f over %d benchmark(s)"
              % (geomean, len(measured)))
        print("Targets (informational):")
        print("  [%s] geometric mean of time ratios <= %.1f (is %.2f)"
              % (verdict(geomean <= TIME_GEOMEAN_TARGET), TIME_GEOMEAN_TARGET, geomean))
        print("  [%s] every time ratio <= %.1f%s" % (
            verdict(not slow), TIME_RATIO_LIMIT, (" (above: " + ", ".join(slow) + ")") if slow else ""))
        print("  [%s] every memory ratio <= %.1f%s" % (
            verdict(not heavy), MEMORY_RATIO_LIMIT,
            (" (above: " + ", ".join(heavy) + ")") if heavy else ""))
        if baseline:
            compared = [(name, f[6][1]) for name, f in measured if f[6]]
            slower = ["%s %.2f" % (name, ratio) for name, ratio in compared
                      if ratio > BASELINE_SLOWDOWN_LIMIT]
            print("  [%s] no pair slower than the baseline by more than %d%%%s" % (
                verdict(not slower), round((BASELINE_SLOWDOWN_LIMIT - 1) * 100),
                (" (slower: " + ", ".join(slower) + ")") if slower else ""))
            if len(compared) < len(measured):
                print("  (the baseline comparison covers %d of the %d benchmark(s); the baseline"
                      " failed the others)" % (len(compared), len(measured)))
        if failures:
            print("  (the targets cover only the %d benchmark(s) that ran; %d failed)"
                  % (len(measured), len(failures)))

    if baseline_problems:
        print()
        print("Baseline: %d benchmark(s) did not run cleanly on it (not counted as failures):"
              % len(baseline_problems))
        for problem in baseline_problems:
            print()
            print(problem)

    if failures:
        print()
        print("FAILED: %d benchmark(s) did not run cleanly or their outputs differ:" % len(failures))
        for problem in failures:
            print()
            print(problem)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
