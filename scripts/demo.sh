#!/usr/bin/env bash
# The main job on the embedded default: the fleet capacity report of a demo SQLite
# database, produced through trendhost alone (the surface a user has), with the subsystem
# ranks, the mail-server forecasts and a forecast file.
#
#   scripts/demo.sh BUILD_DIR OUT_DIR
#
# BUILD_DIR holds bin/trendhost, bin/trend-demo-data and lib/*.so. OUT_DIR receives the
# database, a project-local odbc.ini and registry, the forecast CSV and its chart.
set -euo pipefail

build=$(cd "${1:?usage: demo.sh BUILD_DIR OUT_DIR}" && pwd)
mkdir -p "${2:?usage: demo.sh BUILD_DIR OUT_DIR}"
out=$(cd "$2" && pwd)
root=$(cd "$(dirname "$0")/.." && pwd)
bin=$build/bin
lib=$build/lib
odbclib=/usr/lib/x86_64-linux-gnu/odbc
[ -f "$odbclib/libsqlite3odbc.so" ] || odbclib=$(dirname "$(find /usr/lib -name libsqlite3odbc.so | head -n 1)")

step() { printf '[demo] %s\n' "$*"; }

first=2026-06-02 # 182 days ending on the last day
last=2026-11-30

step "database $out/demo.db from schema/tables.sql and the demo generator"
rm -rf "$out/odbc" "$out/registry" "$out/demo.db" "$out/forecast.csv" "$out/forecast.png" \
  "$out/report.csv" "$out/report.json" "$out/report.html" "$out/charts"
mkdir -p "$out/odbc"
sqlite3 "$out/demo.db" <"$root/schema/tables.sql"
"$bin/trend-demo-data" | sqlite3 "$out/demo.db"

step "DSN trend_demo in $out/odbc/odbc.ini"
cat >"$out/odbc/odbcinst.ini" <<INI
[DemoSQLite]
Driver=$odbclib/libsqlite3odbc.so
INI
cat >"$out/odbc/odbc.ini" <<INI
[trend_demo]
Driver=DemoSQLite
Database=$out/demo.db
INI
export ODBCSYSINI=$out/odbc ODBCINI=$out/odbc/odbc.ini TREND_REGISTRY=$out/registry

step "registering the libraries in $TREND_REGISTRY"
"$bin/trendhost" register "$lib"/Orrery.so "$lib"/Vantor.so "$lib"/Lanyard.so "$lib"/Tessel.so >/dev/null

host() { "$bin/trendhost" call --dsn trend_demo "$@"; }
num() { printf '%*.2f' "$1" "$2"; }

step "fleet report: every host and probe against schema/thresholds.example.csv ($first to $last)"
echo
report() { "$bin/trendhost" report --dsn trend_demo --last "$last" --thresholds "$root/schema/thresholds.example.csv" --quiet "$@"; }
status=0
report || status=$?
[ "$status" -le 0 ] || { echo "demo: the report failed (exit status $status)" >&2; exit 1; }
report --format csv --output "$out/report.csv"
report --format json --output "$out/report.json"
report --format html --output "$out/report.html" --charts "$out/charts"
echo
step "a service planned with N+1 (schema/groups.example.csv) and a what-if (schema/scenario.example.csv)"
echo
report --groups "$root/schema/groups.example.csv" --scenario "$root/schema/scenario.example.csv" |
  sed -n '/^SERVICES/,/^SERIES/p' | sed '$d'
echo
step "subsystem ranks after UpdateSystemSummary and GetRanges (0 lightest, 4 heaviest)"
echo
calls=(UpdateSystemSummary "$first" "$last" -- GetRanges)
for h in web01 web02 db01 app01; do
  for s in CPU Memory IO Network; do calls+=(-- CalculateRank "$h" "$s"); done
done
mapfile -t ranks < <(host OrreryFunctions.OrreryClass "${calls[@]}")
printf '%-7s %7s %7s %7s %8s\n' host CPU Memory IO Network
i=2
for h in web01 web02 db01 app01; do
  printf '%-7s %7s %7s %7s %8s\n' "$h" "${ranks[$i]}" "${ranks[$((i + 1))]}" "${ranks[$((i + 2))]}" \
    "${ranks[$((i + 3))]}"
  i=$((i + 4))
done

echo
step "mail-server forecasts (+30 days, fitted trend)"
echo
printf '%-8s %-28s %-8s %10s %10s\n' library series host now "+30 d"
for spec in Lanyard:LanyardFunctions.LanyardClass:mail01:Mail.Delivered \
  Lanyard:LanyardFunctions.LanyardClass:mail02:Mail.Delivered \
  Tessel:TesselFunctions.TesselClass:exch01:MSExchangeIS.MessagesSent; do
  IFS=: read -r name cls h p <<<"$spec"
  mapfile -t r < <(host "$cls" TrendValue "$h" "$p" "" "$first" "$last" 0 0 2 -- TrendValue "$h" "$p" "" "$first" \
    "$last" 30 0 2)
  printf '%-8s %-28s %-8s %s %s\n' "$name" "$p" "$h" "$(num 10 "${r[0]}")" "$(num 10 "${r[1]}")"
done

echo
step "forecast file for web01 avgcpubusy: 28 days measured, 21 days ahead"
host OrreryFunctions.OrreryClass InitializeFile "$out/forecast.csv" -- PrintForecast web01 web01 avgcpubusy "" \
  "$first" "$last" 0 avgcpubusy 28 21 >/dev/null
compact=${last//-/}
awk -F, -v last="$compact" 'NR > 1 && $4 <= last' "$out/forecast.csv" >"$out/measured.csv"
awk -F, -v last="$compact" 'NR > 1 && $4 > last' "$out/forecast.csv" >"$out/ahead.csv"
gnuplot <<GP
set terminal png size 1200,560
set output '$out/forecast.png'
set datafile separator ','
set xdata time
set timefmt '%Y/%m/%d %H:%M'
set format x '%m/%d'
set title 'web01 avgcpubusy: measured hourly average and forecast, with low and high bands'
set ylabel 'CPU busy %'
set key below horizontal
set grid
plot '$out/measured.csv' using 5:6:8 with filledcurves lc rgb '#c6d8f0' title 'band around the fit', \
     '$out/ahead.csv' using 5:6:8 with filledcurves lc rgb '#f6d2c4' title 'forecast band', \
     '$out/measured.csv' using 5:7 with lines lw 1 lc rgb '#1f4e99' title 'measured hourly average', \
     '$out/ahead.csv' using 5:7 with lines lw 2 lc rgb '#c0392b' title 'forecast'
GP
rm -f "$out/measured.csv" "$out/ahead.csv"
[ -s "$out/forecast.csv" ] && [ -s "$out/forecast.png" ] || { echo "demo: no forecast file or chart" >&2; exit 1; }

echo
step "files:"
echo "  report page:   $out/report.html (open it in a browser; charts also in $out/charts/)"
echo "  report CSV:    $out/report.csv"
echo "  report JSON:   $out/report.json"
echo "  forecast CSV:  $out/forecast.csv ($(($(wc -l <"$out/forecast.csv") - 1)) rows)"
echo "  chart:         $out/forecast.png"
echo "  database:      $out/demo.db (DSN trend_demo in $out/odbc/odbc.ini)"
