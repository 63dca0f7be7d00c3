#!/usr/bin/env bash
# The benchmarks, side by side in one run: the micro benchmarks of trend_bench, then the
# fleet report's costs on SQLite and PostgreSQL (and MariaDB) over 500 series x 182 days
# (100 hosts x 5 probes) from trend-demo-data, the loader's parse and write rates, and the
# report as the fleet grows (250 to 20,000 series: time per series and peak memory).
#
#   bench/run_bench.sh BUILD_DIR
set -euo pipefail
build=$(cd "${1:?usage: run_bench.sh BUILD_DIR}" && pwd)
root=$(cd "$(dirname "$0")/.." && pwd)
dir=$(mktemp -d /tmp/trend-bench.XXXXXX)
trap '"$root/scripts/testdb.sh" down "$dir"' EXIT
"$root/scripts/testdb.sh" up "$dir"
# shellcheck disable=SC1091
source "$dir/env"
export TREND_REGISTRY=$dir/registry
"$build/bin/trendhost" register "$build"/lib/Orrery.so >/dev/null

echo "[bench] forecasting models on generated regimes and public series (rolling origin, 182-day windows)"
/usr/bin/python3 "$root/bench/public_series.py" "$dir/public"
"$build/bin/backtest_bench" "$dir"/public/*.csv

# The forecasting engine on the real public hourly series beside the project (tuning and
# held-out halves), where they are.
hourly=${TREND_HOURLY_DATA:-$root/../shared/data/hourly/data}
if [ -d "$hourly" ]; then
  echo "[bench] the forecasting engine on the real hourly series in $hourly"
  "$build/bin/forecast_bench" --calibrate
  "$build/bin/forecast_bench" "$hourly"
  echo "[bench] the peer on the same series: a damped Holt-Winters fitted by statsmodels"
  /usr/bin/python3 "$root/bench/peer_bench.py" "$hourly"
fi

echo "[bench] micro benchmarks"
[ -n "${TREND_BENCH_SKIP_MICRO:-}" ] || "$build/bin/trend_bench" --benchmark_min_time=0.2

echo "[bench] loading 500 series x 182 days into each backend"
data=$dir/fleet.sql
"$build/bin/trend-demo-data" --hosts 100 --probes 5 --days 182 >"$data"
sqlite3 "$dir/sqlite/trend.db" <"$root/schema/tables.sql"
sqlite3 "$dir/sqlite/trend.db" <"$data"
pgport=$(cat "$dir/pg.port")
PGPASSWORD=$TREND_PG_PASSWORD psql -q -h 127.0.0.1 -p "$pgport" -U "$TREND_PG_USER" trend \
  -v ON_ERROR_STOP=1 -f "$root/schema/tables.sql" -f "$data" >/dev/null
mariadb --no-defaults --socket="$dir/maria/sock" -u root trend <"$root/schema/tables.sql"
mariadb --no-defaults --socket="$dir/maria/sock" -u root trend <"$data"

echo "[bench] the loader"
"$build/bin/load_bench" --trendhost "$build/bin/trendhost" --figures "$dir/load.figures" \
  --dsn "$TREND_SQLITE_DSN" \
  --dsn "$TREND_PG_DSN:$TREND_PG_USER:$TREND_PG_PASSWORD" \
  --dsn "$TREND_MARIA_DSN:$TREND_MARIA_USER:$TREND_MARIA_PASSWORD"

echo "[bench] the fleet report"
for backend in sqlite pg maria; do
  case $backend in
  sqlite) login=(--dsn "$TREND_SQLITE_DSN") ;;
  pg) login=(--dsn "$TREND_PG_DSN" --user "$TREND_PG_USER" --password "$TREND_PG_PASSWORD") ;;
  maria) login=(--dsn "$TREND_MARIA_DSN" --user "$TREND_MARIA_USER" --password "$TREND_MARIA_PASSWORD") ;;
  esac
  "$build/bin/report_bench" "${login[@]}" --trendhost "$build/bin/trendhost" \
    --figures "$dir/$backend.figures"
  PYTHONPATH=$root/python /usr/bin/python3 "$root/bench/python_bench.py" "${login[@]}" \
    --report-bench "$build/bin/report_bench"
done

echo "[bench] the fleet report on Dask: 2000 series x 182 days on PostgreSQL"
"$build/bin/trend-demo-data" --hosts 400 --probes 5 --days 182 >"$dir/big.sql"
PGPASSWORD=$TREND_PG_PASSWORD psql -q -h 127.0.0.1 -p "$pgport" -U "$TREND_PG_USER" trend \
  -v ON_ERROR_STOP=1 -c "DELETE FROM HX_METRICS; DELETE FROM HX_METRIC_SUMMARY; DELETE FROM DOMINO_METRICS; DELETE FROM EXCHANGE_METRICS" \
  -f "$dir/big.sql" >/dev/null
PYTHONPATH=$root/python /usr/bin/python3 "$root/bench/fleet_bench.py" --dsn "$TREND_PG_DSN" \
  --user "$TREND_PG_USER" --password "$TREND_PG_PASSWORD" --trendhost "$build/bin/trendhost"

echo "[bench] the fleet report as the fleet grows: 250, 2,000 and 20,000 series x 91 days"
printf '\n[trend_scale]\nDriver=TrendSQLite\nDatabase=%s/scale.db\n' "$dir" >>"$ODBCINI"
/usr/bin/python3 "$root/bench/scale_bench.py" --trendhost "$build/bin/trendhost" \
  --demo-data "$build/bin/trend-demo-data" --schema "$root/schema/tables.sql" \
  --sqlite-dsn trend_scale --sqlite-file "$dir/scale.db" --pg-dsn "$TREND_PG_DSN" \
  --pg-user "$TREND_PG_USER" --pg-password "$TREND_PG_PASSWORD" --pg-port "$pgport"

echo "[bench] the report with two years stored against 182 days (100 series, one job)"
# Best of three runs each; the two-year run reads the default range (730 days).
best() {
  local t least=""
  for _ in 1 2 3; do
    /usr/bin/time -f %e -o "$dir/time.out" "$@" >/dev/null
    t=$(tail -1 "$dir/time.out")
    least=$(awk -v a="$least" -v b="$t" 'BEGIN { print (a == "" || b < a) ? b : a }')
  done
  echo "$least"
}
for days in 182 730; do
  "$build/bin/trend-demo-data" --hosts 25 --probes 4 --days "$days" >"$dir/range$days.sql"
  sqlite3 "$dir/range$days.db" <"$root/schema/tables.sql"
  sqlite3 "$dir/range$days.db" <"$dir/range$days.sql"
  printf '\n[trend_range%s]\nDriver=TrendSQLite\nDatabase=%s/range%s.db\n' "$days" "$dir" "$days" >>"$ODBCINI"
done
for days in 182 730; do
  best "$build/bin/trendhost" report --dsn "trend_range$days" --jobs 1 --output /dev/null \
    --quiet --last 2026-11-30 >"$dir/range$days.time"
done
awk -v a="$(cat "$dir/range182.time")" -v b="$(cat "$dir/range730.time")" \
  'BEGIN { printf "  182 days stored: %.2f s   730 days stored: %.2f s   ratio %.2fx (goal <= 1.5x)\n", a, b, b / a;
           printf "%.3f\n", b / a > "/dev/stderr" }' 2>"$dir/range.figures"

echo "[bench] services: 2,000 series in 50 groups of 40 members against the same report without them"
# 400 hosts x 5 probes; a group is 40 hosts' series of one probe.
"$build/bin/trend-demo-data" --hosts 400 --probes 5 --days 182 >"$dir/groups.sql"
sqlite3 "$dir/groups.db" <"$root/schema/tables.sql"
sqlite3 "$dir/groups.db" <"$dir/groups.sql"
printf '\n[trend_groups]\nDriver=TrendSQLite\nDatabase=%s/groups.db\n' "$dir" >>"$ODBCINI"
{
  echo "group,host,probe,aggregate,capacity,spare"
  for block in 0 1 2 3 4 5 6 7 8 9; do
    for probe in $(sqlite3 "$dir/groups.db" "SELECT DISTINCT PROBE FROM HX_METRICS WHERE HOSTNAME LIKE 'host%'"); do
      for tens in $((4 * block)) $((4 * block + 1)) $((4 * block + 2)) $((4 * block + 3)); do
        printf 'g%d_%s,host0%02d?,%s,sum,1000,1\n' "$block" "$probe" "$tens" "$probe"
      done
    done
  done
} >"$dir/groups.csv"
plain=$(best "$build/bin/trendhost" report --dsn trend_groups --jobs 2 --output /dev/null --quiet)
grouped=$(best "$build/bin/trendhost" report --dsn trend_groups --jobs 2 --output /dev/null --quiet \
  --groups "$dir/groups.csv")
awk -v a="$plain" -v b="$grouped" \
  'BEGIN { printf "  without groups: %.2f s   with 50 groups: %.2f s   ratio %.3fx (goal <= 1.10x)\n", a, b, b / a;
           printf "%.3f\n", b / a > "/dev/stderr" }' 2>"$dir/groups.figures"

# The goals side by side, from this run's figures.
figure() { awk -v k="$2" '{ print $k }' "$dir/$1.figures"; }
loaded() { awk -v d="$1" '$1 == d { printf "%.1fk", $2 / 1000 }' "$dir/load.figures"; }
echo "[bench] the goals, this run"
printf '| %-40s | %-8s | %-10s | %-8s | %-8s |\n' figure SQLite PostgreSQL MariaDB goal
printf '| %-40s | %-8.3f | %-10.3f | %-8.3f | %-8s |\n' "refit / bare fetch of the same rows" \
  "$(figure sqlite 1)" "$(figure pg 1)" "$(figure maria 1)" "<= 1.03"
printf '| %-40s | %-8.3f | %-10.3f | %-8.3f | %-8s |\n' "report per series (1 job) / bare fetch" \
  "$(figure sqlite 2)" "$(figure pg 2)" "$(figure maria 2)" "<= 1.10"
printf '| %-40s | %-8.3f | %-10.3f | %-8.3f | %-8s |\n' "  the same / a first pass, new connection" \
  "$(figure sqlite 4)" "$(figure pg 4)" "$(figure maria 4)" "<= 1.10"
printf '| %-40s | %-8.3f | %-10.3f | %-8.3f | %-8s |\n' "  the same, less the run's start-up" \
  "$(figure sqlite 5)" "$(figure pg 5)" "$(figure maria 5)" "<= 1.10"
printf '| %-40s | %-8.2f | %-10.2f | %-8.2f | %-8s |\n' "report: 2 jobs / 1 job speed-up" \
  "$(figure sqlite 3)" "$(figure pg 3)" "$(figure maria 3)" ">= 1.7"
printf '| %-40s | %-8.2f | %-10s | %-8s | %-8s |\n' "report: two years stored / 182 days" \
  "$(cat "$dir/range.figures")" - - "<= 1.5"
printf '| %-40s | %-8.3f | %-10s | %-8s | %-8s |\n' "report: with 50 groups / without" \
  "$(cat "$dir/groups.figures")" - - "<= 1.10"
printf '| %-40s | %-8s | %-10s | %-8s | %-8s |\n' "load: rows written per second" \
  "$(loaded "$TREND_SQLITE_DSN")" "$(loaded "$TREND_PG_DSN")" "$(loaded "$TREND_MARIA_DSN")" ">= 40k"
