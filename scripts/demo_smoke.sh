#!/usr/bin/env bash
# Smoke test of the main job: runs the demo from a build and checks its report and files.
set -euo pipefail
build=$1 out=$2
rm -rf "$out"
# The driver manager unloads its ini library with cached data still allocated; preloading
# it keeps the sanitizer build's leak report quiet.
export LD_PRELOAD=libodbcinst.so.2 ASAN_OPTIONS=verify_asan_link_order=0
report=$("$(dirname "$0")/demo.sh" "$build" "$out")
echo "$report"
for text in "fleet report" "HOST   PROBE" "exceeded" "warning" " ok " "never" "no threshold" \
  "insufficient data" "short history" "stale" "SERVICES" "WHAT-IF" "campaign" "subsystem ranks" "mail-server forecasts" \
  "Lanyard  Mail.Delivered" "Tessel   MSExchangeIS" "$out/report.html"; do
  grep -qF "$text" <<<"$report" || { echo "missing from the report: $text" >&2; exit 1; }
done
for f in forecast.csv forecast.png report.csv report.json report.html; do
  [ -s "$out/$f" ] || { echo "missing $out/$f" >&2; exit 1; }
done
grep -q '<svg' "$out/report.html" || { echo "the report page has no chart" >&2; exit 1; }
head -c 8 "$out/forecast.png" | od -An -c | grep -q 'P   N   G' || { echo "not a PNG" >&2; exit 1; }
echo "1 passed, 0 failed"
