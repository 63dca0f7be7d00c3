#!/usr/bin/env bash
# Throwaway test databases: a PostgreSQL cluster under a temporary directory and an
# SQLite file, with the DSNs for both in a temporary odbc.ini / odbcinst.ini.
#
#   scripts/testdb.sh up DIR      create DIR, start PostgreSQL, write DIR/env (source it)
#   scripts/testdb.sh stop DIR    stop the server (data kept; tests use it to simulate an outage)
#   scripts/testdb.sh start DIR   start it again on the same port
#   scripts/testdb.sh restart DIR stop and start (drops every client connection)
#   scripts/testdb.sh down DIR    stop the server and remove DIR
#
# The machine's own ODBC configuration is never read or written: ODBCSYSINI and ODBCINI
# point into DIR.
set -euo pipefail

cmd=${1:?usage: testdb.sh up|stop|start|restart|down DIR}
dir=${2:?usage: testdb.sh up|stop|start|restart|down DIR}

pgbin=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1)
odbclib=/usr/lib/x86_64-linux-gnu/odbc
[ -d "$odbclib" ] || odbclib=$(dirname "$(find /usr/lib -name libsqlite3odbc.so 2>/dev/null | head -n 1)")

as_postgres() {
  if [ "$(id -u)" = 0 ]; then runuser -u postgres -- "$@"; else "$@"; fi
}

pg_running() {
  as_postgres "$pgbin/pg_ctl" -D "$dir/pgdata" status >/dev/null 2>&1
}

pg_start() {
  local port
  pg_running && return 0
  port=$(cat "$dir/pg.port")
  as_postgres "$pgbin/pg_ctl" -D "$dir/pgdata" -l "$dir/pg.log" -w -t 60 \
    -o "-k $dir/sock -p $port -c listen_addresses=127.0.0.1 -c fsync=off" start >/dev/null
}

pg_stop() {
  [ -f "$dir/pgdata/postmaster.pid" ] || return 0
  as_postgres "$pgbin/pg_ctl" -D "$dir/pgdata" -m fast -w -t 60 stop >/dev/null || true
}

case "$cmd" in
up)
  [ -n "$pgbin" ] || { echo "testdb: PostgreSQL server binaries not found" >&2; exit 1; }
  mkdir -p "$dir/sock" "$dir/odbc" "$dir/sqlite"
  chmod 755 "$dir"
  [ "$(id -u)" = 0 ] && chown postgres "$dir" "$dir/sock"
  echo "trend-pg-secret" >"$dir/pwfile"
  [ "$(id -u)" = 0 ] && chown postgres "$dir/pwfile"
  as_postgres "$pgbin/initdb" -D "$dir/pgdata" -U postgres --pwfile="$dir/pwfile" \
    --auth-local=trust --auth-host=scram-sha-256 -E UTF8 --locale=C.UTF-8 >"$dir/initdb.log"
  # A free port: try a few random ones in the dynamic range.
  for _ in 1 2 3 4 5 6 7 8; do
    port=$((20000 + RANDOM % 30000))
    echo "$port" >"$dir/pg.port"
    if pg_start 2>/dev/null; then started=1; break; fi
  done
  [ "${started:-}" = 1 ] || { echo "testdb: PostgreSQL did not start" >&2; cat "$dir/pg.log" >&2; exit 1; }
  as_postgres "$pgbin/psql" -h "$dir/sock" -p "$port" -U postgres -q -v ON_ERROR_STOP=1 postgres <<SQL
CREATE ROLE trend LOGIN CREATEROLE PASSWORD 'trend-pw';
CREATE DATABASE trend OWNER trend;
SQL
  cat >"$dir/odbc/odbcinst.ini" <<INI
[TrendSQLite]
Driver=$odbclib/libsqlite3odbc.so

[TrendPostgreSQL]
Driver=$odbclib/psqlodbcw.so
INI
  cat >"$dir/odbc/odbc.ini" <<INI
[trend_sqlite]
Driver=TrendSQLite
Database=$dir/sqlite/trend.db
Timeout=5000

[trend_sqlite_late]
Driver=TrendSQLite
Database=$dir/late/trend.db

[trend_pg]
Driver=TrendPostgreSQL
Servername=127.0.0.1
Port=$port
Database=trend
INI
  cat >"$dir/env" <<ENV
export ODBCSYSINI="$dir/odbc"
export ODBCINI="$dir/odbc/odbc.ini"
export TREND_TESTDB_DIR="$dir"
export TREND_PG_DSN=trend_pg
export TREND_PG_USER=trend
export TREND_PG_PASSWORD=trend-pw
export TREND_SQLITE_DSN=trend_sqlite
export TREND_SQLITE_LATE_DSN=trend_sqlite_late
export TREND_SQLITE_LATE_DIR="$dir/late"
# The throwaway server offers no GSS encryption; libpq's probe for it only loads Kerberos
# thread-local state, which the leak checker of the sanitizer build cannot scan.
export PGGSSENCMODE=disable
export TREND_TESTDB_SCRIPT="$(cd "$(dirname "$0")" && pwd)/testdb.sh"
ENV
  ;;
stop) pg_stop ;;
start) pg_start ;;
restart) pg_stop; pg_start ;;
down)
  pg_stop
  rm -rf "$dir"
  ;;
*) echo "testdb: unknown command $cmd" >&2; exit 2 ;;
esac
