#!/usr/bin/env python3
"""The peer the forecasting engine is measured against: a damped Holt-Winters (additive
trend and weekly season) fitted by statsmodels, on the same real hourly series and by the
same protocol as forecast_bench (daily means of days with 20 hours or more; a cut-off every
91 days from 182 days after the first, the last leaving 90 scored days; 182 days given;
MASE at 7, 30 and 90 days over the window's mean absolute week-over-week change; the same
tuning and held-out halves). The peer runs in the bench only, never in the product.

  peer_bench.py DATA_DIR
"""
import csv
import math
import os
import statistics
import sys
import warnings
from collections import defaultdict
from datetime import date


def family(name):
    f = name.split("_")[0]
    return "transport" if f in ("bike", "bikeshare", "road", "ped") else f


def daily(path):
    sums = defaultdict(lambda: [0.0, 0])
    with open(path) as f:
        for row in csv.DictReader(f):
            d = date.fromisoformat(row["time"][:10]).toordinal()
            sums[d][0] += float(row["value"])
            sums[d][1] += 1
    first, last = min(sums), max(sums)
    return [sums[d][0] / sums[d][1] if d in sums and sums[d][1] >= 20 else math.nan
            for d in range(first, last + 1)]


def weekly_scale(y):
    changes = [abs(y[t] - y[t - 7]) for t in range(7, len(y))
               if not math.isnan(y[t]) and not math.isnan(y[t - 7])]
    s = sum(changes) / len(changes) if changes else 0
    return s if s > 0 else None


def filled(y):
    """Missing days take the value a week before (else the last one): the peer needs every day."""
    out = list(y)
    for t, v in enumerate(out):
        if math.isnan(v):
            out[t] = out[t - 7] if t >= 7 and not math.isnan(out[t - 7]) else (out[t - 1] if t else 0.0)
    return out


def main():
    try:
        from statsmodels.tsa.holtwinters import ExponentialSmoothing
    except ImportError:
        print("peer_bench: statsmodels is not installed (Debian: python3-statsmodels); no peer figures")
        return 0
    folder = sys.argv[1]
    names = sorted(f[:-4] for f in os.listdir(folder) if f.endswith(".csv"))
    seen = defaultdict(int)
    held = {}
    for n in names:
        held[n] = seen[family(n)] % 2 == 1
        seen[family(n)] += 1
    def run(given, first):
        scores = {False: [[], [], []], True: [[], [], []]}
        cuts = {False: [[], [], []], True: [[], [], []]}
        for n in names:
            y = daily(os.path.join(folder, n + ".csv"))
            per_cut = [[], [], []]
            cut = first
            while cut + 90 < len(y):
                days = min(cut + 1, given)
                window = y[cut - days + 1:cut + 1]
                scale = weekly_scale(window)
                if scale:
                    with warnings.catch_warnings():
                        warnings.simplefilter("ignore")
                        model = ExponentialSmoothing(filled(window), trend="add", damped_trend=True,
                                                     seasonal="add", seasonal_periods=7,
                                                     initialization_method="estimated").fit()
                        path = model.forecast(90)
                    for k, lead in enumerate((7, 30, 90)):
                        errors = [abs(y[cut + h] - path[h - 1]) for h in range(1, lead + 1)
                                  if not math.isnan(y[cut + h])]
                        if errors:
                            per_cut[k].append(sum(errors) / len(errors) / scale)
                cut += 91
            for k in range(3):
                if per_cut[k]:
                    scores[held[n]][k].append(statistics.median(per_cut[k]))
                cuts[held[n]][k].extend(per_cut[k])
        return scores, cuts

    def geometric(v):
        return math.exp(sum(math.log(max(x, 1e-9)) for x in v) / len(v)) if v else float("nan")

    def mean(v):
        return sum(v) / len(v) if v else float("nan")

    print("%-16s %-9s %7s %7s %7s   %s" % ("method", "half", "MASE7", "MASE30", "MASE90",
                                          "mean over cut-offs 7/30/90"))
    scores, cuts = run(182, 181)
    for h in (False, True):
        print("%-16s %-9s %7.3f %7.3f %7.3f   %.3f %.3f %.3f" % (
            "damped HW (sm)", "held out" if h else "tuning",
            *(geometric(scores[h][k]) for k in range(3)), *(mean(cuts[h][k]) for k in range(3))))
    # Long histories: every cut-off with 400 days or more before it, given up to 730.
    scores, cuts = run(730, 399)
    print("with 400+ days (730 given)")
    for h in (False, True):
        print("%-16s %-9s %7.3f %7.3f %7.3f   %.3f %.3f %.3f" % (
            "damped HW (sm)", "held out" if h else "tuning",
            *(geometric(scores[h][k]) for k in range(3)), *(mean(cuts[h][k]) for k in range(3))))
    return 0


if __name__ == "__main__":
    sys.exit(main())
