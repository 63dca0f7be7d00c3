#!/usr/bin/env bash
# A stopped worker does not make the report wait forever: with --worker-timeout 2 a worker
# stopped (SIGSTOP) in the middle of a long report is killed, its series become error rows,
# and the report ends with exit status 3. Workers end with a report that is killed, and
# --jobs is bounded.
#
#   worker_timeout_test.sh BUILD_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
work=$(mktemp -d /tmp/trend-worker-timeout.XXXXXX)
trap 'kill -CONT $(cat "$work/workers" 2>/dev/null) 2>/dev/null || true; rm -rf "$work"' EXIT
root=$(cd "$(dirname "$0")/../.." && pwd)
sqlite3 "$work/big.db" <"$root/schema/tables.sql"
"$build/bin/trend-demo-data" --hosts 200 --probes 9 --days 30 | sqlite3 "$work/big.db"
printf '[S]\nDriver=/usr/lib/x86_64-linux-gnu/odbc/libsqlite3odbc.so\n' >"$work/odbcinst.ini"
printf '[big]\nDriver=S\nDatabase=%s/big.db\n' "$work" >"$work/odbc.ini"
export ODBCSYSINI=$work ODBCINI=$work/odbc.ini TREND_REGISTRY=$work/registry
export LD_PRELOAD=libodbcinst.so.2 ASAN_OPTIONS=${ASAN_OPTIONS:-}:verify_asan_link_order=0
"$build/bin/trendhost" register "$build/lib/Orrery.so" >/dev/null
"$build/bin/trendhost" report --dsn big --jobs 1 --worker-timeout 2 --format csv --quiet \
  >"$work/out.csv" 2>"$work/err" &
report=$!
# Stop the worker once it is under way (the whole report takes several seconds).
for _ in $(seq 50); do
  workers=$(pgrep -P "$report" || true)
  [ -n "$workers" ] && break
  sleep 0.1
done
[ -n "$workers" ] || { echo "no worker process seen" >&2; exit 1; }
sleep 0.2
echo "$workers" >"$work/workers"
kill -STOP $workers
status=0
timeout 60 tail --pid="$report" -f /dev/null || { echo "the report did not end" >&2; exit 1; }
wait "$report" || status=$?
[ "$status" = 3 ] || { echo "exit status $status, not 3" >&2; cat "$work/err" >&2; exit 1; }
lost=$(grep -c 'sent nothing for 2 seconds and was stopped' "$work/out.csv" || true)
[ "$lost" -gt 0 ] || { echo "no series marked as lost to the stopped worker" >&2; exit 1; }

# The report killed outright: its workers go with it instead of holding their connections.
"$build/bin/trendhost" report --dsn big --jobs 2 --format csv --quiet >/dev/null 2>&1 &
report=$!
workers=
for _ in $(seq 50); do
  workers=$(pgrep -P "$report" || true)
  [ "$(echo "$workers" | wc -w)" = 2 ] && break
  sleep 0.1
done
[ -n "$workers" ] || { echo "no worker process seen" >&2; exit 1; }
kill -KILL "$report"
for _ in $(seq 30); do
  alive=$(ps -o pid= -p "$(echo $workers | tr ' ' ,)" || true)
  [ -z "$alive" ] && break
  sleep 0.1
done
[ -z "$alive" ] || { echo "workers outlived their killed report: $alive" >&2; kill -KILL $alive; exit 1; }

# --jobs far beyond the cores is lowered, with a note.
"$build/bin/trendhost" report --dsn big --host 'host00*' --jobs 100000 --format csv \
  >/dev/null 2>"$work/err"
grep -q -- '--jobs 100000 lowered to' "$work/err" || { echo "--jobs was not bounded" >&2; cat "$work/err" >&2; exit 1; }
echo "3 passed, 0 failed ($lost series lost to the stopped worker)"
