"""The fleet report on a Dask LocalCluster with 1 and 2 worker processes, beside
trendhost report --jobs 2, over the same data source (series per second, and where the
time goes). Prints figures; asserts nothing.

    python3 bench/fleet_bench.py --dsn NAME --user U --password P --trendhost PATH
"""

import argparse
import subprocess
import time

import distributed

from trendlib import fleet

def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--dsn", required=True)
    parser.add_argument("--user", default="")
    parser.add_argument("--password", default="")
    parser.add_argument("--trendhost", required=True)
    a = parser.parse_args()

    start = time.perf_counter()
    subprocess.run([a.trendhost, "report", "--dsn", a.dsn, "--user", a.user, "--password", a.password,
                    "--format", "csv", "--quiet", "--jobs", "2", "--output", "/dev/null"], check=False)
    host = time.perf_counter() - start

    for workers in (1, 2):
        cluster = distributed.LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                                           dashboard_address=None)
        with distributed.Client(cluster) as client:
            fleet.run(client, a.dsn, a.user, a.password, format="csv", quiet=True)  # warm: libraries, connections
            timings = {}
            with distributed.get_task_stream(client) as stream:
                start = time.perf_counter()
                fleet.run(client, a.dsn, a.user, a.password, format="csv", quiet=True, timings=timings)
                wall = time.perf_counter() - start
            compute = transfer = 0.0
            for task in stream.data:
                for s in task.get("startstops", ()):
                    if s["action"] == "compute":
                        compute += s["stop"] - s["start"]
                    elif s["action"] == "transfer":
                        transfer += s["stop"] - s["start"]
            n = timings["series"]
            print("  dask, %d worker%s: %6.0f series/s (%d series in %d chunks, %.2f s: plan %.2f s, "
                  "forecasts %.2f s of which compute %.2f s summed over workers, transfer %.3f s, "
                  "scheduling and gathering the rest; write %.2f s)"
                  % (workers, "" if workers == 1 else "s", n / wall, n, timings["chunks"], wall,
                     timings["plan"], timings["forecast"], compute, transfer, timings["write"]))
        cluster.close()
    print("  trendhost report --jobs 2: %6.0f series/s (%.2f s, with its own plan)" % (n / host, host))


if __name__ == "__main__":  # the worker processes import this file
    main()
