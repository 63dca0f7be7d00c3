"""trendlib against the C interface, side by side in one run on one data source: a
remembered TrendValue call (the request unchanged, no query) and a refit. The C figures
come from report_bench --calls-only (the host's own C++ path through trendframe.h).

    python3 bench/python_bench.py --dsn NAME [--user U] [--password P] --report-bench PATH
"""

import argparse
import subprocess
import time

import trendlib

parser = argparse.ArgumentParser()
parser.add_argument("--dsn", required=True)
parser.add_argument("--user", default="")
parser.add_argument("--password", default="")
parser.add_argument("--report-bench", required=True)
args = parser.parse_args()

words = [args.report_bench, "--dsn", args.dsn, "--trendhost", "/bin/true", "--calls-only"]
if args.user:
    words += ["--user", args.user, "--password", args.password]
c_remembered_us, c_refit_ms = map(float, subprocess.run(words, capture_output=True, text=True,
                                                         check=True).stdout.split()[-2:])

ds = trendlib.DataSource(args.dsn, user=args.user, password=args.password)
o = trendlib.Dispatch("OrreryFunctions.OrreryClass")
key = ["app01", "avgcpubusy", "", "2026-06-02", "2026-11-30"]  # the series report_bench times
again = key[:3] + ["2026-6-2"] + key[4:]
o.TrendValue(*key, 30, 0, 2, ds)
remembered = refit = float("inf")
for _ in range(5):
    start = time.perf_counter()
    trend = o.TrendValue  # the attribute looked up once, as a loop would
    for i in range(20000):
        trend(*key, i % 90, 0, 2, ds)
    remembered = min(remembered, (time.perf_counter() - start) / 20000)
    start = time.perf_counter()
    for i in range(50):
        o.TrendValue(*(again if i % 2 else key), 30, 0, 2, ds)
    refit = min(refit, (time.perf_counter() - start) / 50)
print("  remembered TrendValue: Python %.2f us, C interface %.3f us (goal <= 10 us)"
      % (1e6 * remembered, c_remembered_us))
print("  refit: Python %.3f ms, C interface %.3f ms, ratio %.3fx (goal <= 1.05x)"
      % (1e3 * refit, c_refit_ms, 1e3 * refit / c_refit_ms))
