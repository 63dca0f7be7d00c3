"""The fleet report as the fleet grows: 250, 2,000 and 20,000 generated series (5 probes a
host, the same days each) on SQLite and PostgreSQL, each run of trendhost report timed
and its peak memory taken from the kernel (the largest resident size of the process and
its workers), with the processor time trendhost itself spent (so that time the database
server adds as its tables grow shows apart). Prints time per series and peak memory side
by side; asserts nothing.

    scale_bench.py --trendhost PATH --demo-data PATH --schema tables.sql
                   [--sqlite-dsn D --sqlite-file F] [--pg-dsn D --pg-user U --pg-password P
                   --pg-port N] [--sizes 250,2000,20000] [--days 91] [--jobs 2]
"""

import argparse
import os
import resource
import subprocess
import sys
import time


def generated(a, n):
    """trend-demo-data's SQL for n series (one transaction), as a stream."""
    return subprocess.Popen([a.demo_data, "--hosts", str(max(1, n // 5)), "--probes", "5",
                             "--days", str(a.days)], stdout=subprocess.PIPE)


def load_sqlite(a, n):  # a file of its own, made afresh
    if os.path.exists(a.sqlite_file):
        os.remove(a.sqlite_file)
    subprocess.run(["sqlite3", a.sqlite_file], stdin=open(a.schema), check=True)
    demo = generated(a, n)
    subprocess.run(["sqlite3", a.sqlite_file], stdin=demo.stdout, check=True)
    demo.wait()


def load_pg(a, n):
    env = dict(os.environ, PGPASSWORD=a.pg_password)
    base = ["psql", "-q", "-h", "127.0.0.1", "-p", str(a.pg_port), "-U", a.pg_user, "trend",
            "-v", "ON_ERROR_STOP=1"]
    # The schema is the data source's own: only its metric rows are replaced.
    subprocess.run(base + ["-c", "DELETE FROM HX_METRICS; DELETE FROM HX_METRIC_SUMMARY; "
                           "DELETE FROM DOMINO_METRICS; DELETE FROM EXCHANGE_METRICS"],
                   env=env, check=True, stdout=subprocess.DEVNULL)
    demo = generated(a, n)
    subprocess.run(base, stdin=demo.stdout, env=env, check=True, stdout=subprocess.DEVNULL)
    demo.wait()
    subprocess.run(base + ["-c", "ANALYZE HX_METRICS"], env=env, check=True, stdout=subprocess.DEVNULL)


def run_report(trendhost, login, jobs):
    """Wall seconds, processor seconds and peak resident megabytes of one report (in a
    child of its own, so that the children's figures are this run's)."""
    read, write = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.close(read)
        start = time.perf_counter()
        r = subprocess.run([trendhost, "report"] + login + ["--jobs", str(jobs), "--format", "csv",
                                                            "--output", "/dev/null", "--quiet"])
        seconds = time.perf_counter() - start
        usage = resource.getrusage(resource.RUSAGE_CHILDREN)
        cpu = usage.ru_utime + usage.ru_stime
        os.write(write, ("%d %f %f %f" % (r.returncode, seconds, cpu, usage.ru_maxrss / 1024))
                 .encode())
        os._exit(0)
    os.close(write)
    with os.fdopen(read) as f:
        status, seconds, cpu, peak = f.read().split()
    os.waitpid(pid, 0)
    if int(status) not in (0, 3):
        sys.exit("scale_bench: trendhost report failed (%s)" % status)
    return float(seconds), float(cpu), float(peak)


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--trendhost", required=True)
    p.add_argument("--demo-data", required=True)
    p.add_argument("--schema", required=True)
    p.add_argument("--sqlite-dsn", default="")
    p.add_argument("--sqlite-file", default="")
    p.add_argument("--pg-dsn", default="")
    p.add_argument("--pg-user", default="")
    p.add_argument("--pg-password", default="")
    p.add_argument("--pg-port", default="")
    p.add_argument("--sizes", default="250,2000,20000")
    p.add_argument("--days", type=int, default=91)
    p.add_argument("--jobs", type=int, default=2)
    a = p.parse_args()
    sizes = [int(s) for s in a.sizes.split(",")]
    backends = []
    if a.sqlite_dsn:
        backends.append(("SQLite", ["--dsn", a.sqlite_dsn], load_sqlite))
    if a.pg_dsn:
        backends.append(("PostgreSQL", ["--dsn", a.pg_dsn, "--user", a.pg_user, "--password",
                                        a.pg_password], load_pg))
    print("%-11s %7s %9s %12s %16s %9s %18s" % ("backend", "series", "seconds", "ms a series",
                                                 "CPU ms a series", "peak MB",
                                                 "MB more / 1000 ser."))
    for name, login, load in backends:
        first = None
        for n in sizes:
            load(a, n)
            run_report(a.trendhost, login, a.jobs)  # warm: the server's and the OS's caches
            seconds, cpu, peak = run_report(a.trendhost, login, a.jobs)
            # Memory beyond the smallest fleet's, per thousand series more: what the
            # results themselves hold.
            first = first or (n, peak)
            more = 1000 * (peak - first[1]) / (n - first[0]) if n > first[0] else 0.0
            print("%-11s %7d %9.2f %12.3f %16.3f %9.1f %18.2f" %
                  (name, n, seconds, 1000 * seconds / n, 1000 * cpu / n, peak, more), flush=True)


if __name__ == "__main__":
    main()
