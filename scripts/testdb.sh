#!/usr/bin/env bash
# Throwaway test databases: a PostgreSQL cluster and a MariaDB server under a temporary
# directory and an SQLite file, with the DSNs for all three in a temporary odbc.ini /
# odbcinst.ini.
#
#   scripts/testdb.sh up DIR      create DIR, start both servers, write DIR/env (source it)
#   scripts/testdb.sh stop DIR    stop the servers (data kept; tests use it to simulate an outage)
#   scripts/testdb.sh start DIR   start them again on the same ports
#   scripts/testdb.sh restart DIR stop and start (drops every client connection)
#   scripts/testdb.sh freeze DIR  stop PostgreSQL's postmaster with SIGSTOP (it accepts
#                                 connections but never answers); thaw DIR resumes it
#   scripts/testdb.sh down DIR    stop the servers and remove DIR
#
# Each of stop, start and restart takes an optional third word, pg or maria, to act on one
# server only.
#
# The machine's own ODBC configuration is never read or written: ODBCSYSINI and ODBCINI
# point into DIR.
set -euo pipefail

usage="usage: testdb.sh up|stop|start|restart|freeze|thaw|down DIR [pg|maria]"
cmd=${1:?$usage}
dir=${2:?$usage}
only=${3:-}

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

# ---- MariaDB: its own data folder, socket and port; --no-defaults so the machine's own
# configuration is never read.
maria_user() {
  if [ "$(id -u)" = 0 ]; then
    if id mysql >/dev/null 2>&1; then echo mysql; else echo root; fi
  fi
}

maria_running() {
  [ -S "$dir/maria/sock" ] && mariadb-admin --no-defaults --socket="$dir/maria/sock" -u root \
    --connect-timeout=2 ping >/dev/null 2>&1
}

maria_start() {
  local port user i
  maria_running && return 0
  port=$(cat "$dir/maria.port")
  user=$(maria_user)
  mariadbd --no-defaults --datadir="$dir/maria/data" --socket="$dir/maria/sock" \
    --port="$port" --bind-address=127.0.0.1 --pid-file="$dir/maria/mariadb.pid" \
    --log-error="$dir/maria.log" ${user:+--user=$user} --skip-log-bin \
    --innodb-buffer-pool-size=64M --innodb-log-file-size=16M \
    --innodb-flush-log-at-trx-commit=0 --skip-name-resolve >/dev/null 2>&1 &
  for i in $(seq 1 120); do
    maria_running && return 0
    kill -0 $! 2>/dev/null || return 1
    sleep 0.25
  done
  return 1
}

maria_stop() {
  local pid i
  [ -f "$dir/maria/mariadb.pid" ] || return 0
  pid=$(cat "$dir/maria/mariadb.pid")
  kill "$pid" 2>/dev/null || true
  for i in $(seq 1 240); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.25
  done
  rm -f "$dir/maria/mariadb.pid"
}

maria_up() {
  command -v mariadbd >/dev/null || { echo "testdb: MariaDB server not found" >&2; exit 1; }
  local user started=
  user=$(maria_user)
  mkdir -p "$dir/maria/data"
  [ -n "$user" ] && chown -R "$user" "$dir/maria"
  mariadb-install-db --no-defaults --datadir="$dir/maria/data" ${user:+--user=$user} \
    --auth-root-authentication-method=socket --skip-test-db >"$dir/maria-install.log" 2>&1 ||
    { cat "$dir/maria-install.log" >&2; exit 1; }
  for _ in 1 2 3 4 5 6 7 8; do
    echo $((20000 + RANDOM % 30000)) >"$dir/maria.port"
    if maria_start; then started=1; break; fi
  done
  [ "$started" = 1 ] || { echo "testdb: MariaDB did not start" >&2; cat "$dir/maria.log" >&2; exit 1; }
  mariadb --no-defaults --socket="$dir/maria/sock" -u root <<SQL
CREATE DATABASE trend CHARACTER SET utf8mb4 COLLATE utf8mb4_nopad_bin;
CREATE USER 'trend'@'127.0.0.1' IDENTIFIED BY 'trend-maria-pw';
CREATE USER 'trend'@'localhost' IDENTIFIED BY 'trend-maria-pw';
GRANT ALL ON *.* TO 'trend'@'127.0.0.1' WITH GRANT OPTION;
GRANT ALL ON *.* TO 'trend'@'localhost' WITH GRANT OPTION;
SQL
}

want() {  # SERVER: does this command act on it?
  [ -z "$only" ] || [ "$only" = "$1" ]
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
  maria_up
  cat >"$dir/odbc/odbcinst.ini" <<INI
[TrendSQLite]
Driver=$odbclib/libsqlite3odbc.so

[TrendPostgreSQL]
Driver=$odbclib/psqlodbcw.so

[TrendMariaDB]
Driver=$odbclib/libmaodbc.so
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

[trend_pg_stored]
Driver=TrendPostgreSQL
Servername=127.0.0.1
Port=$port
Database=trend
Username=trend
Password=trend-pw

[trend_pg_quick]
Driver=TrendPostgreSQL
Servername=127.0.0.1
Port=$port
Database=trend
LoginTimeout=2

[trend_maria]
Driver=TrendMariaDB
Server=127.0.0.1
Port=$(cat "$dir/maria.port")
Database=trend
INI
  cat >"$dir/env" <<ENV
export ODBCSYSINI="$dir/odbc"
export ODBCINI="$dir/odbc/odbc.ini"
export TREND_TESTDB_DIR="$dir"
export TREND_PG_DSN=trend_pg
export TREND_PG_USER=trend
export TREND_PG_PASSWORD=trend-pw
export TREND_PG_STORED_DSN=trend_pg_stored
export TREND_PG_QUICK_DSN=trend_pg_quick
export TREND_MARIA_DSN=trend_maria
export TREND_MARIA_USER=trend
export TREND_MARIA_PASSWORD=trend-maria-pw
export TREND_SQLITE_DSN=trend_sqlite
export TREND_SQLITE_LATE_DSN=trend_sqlite_late
export TREND_SQLITE_LATE_DIR="$dir/late"
# The throwaway server offers no GSS encryption; libpq's probe for it only loads Kerberos
# thread-local state, which the leak checker of the sanitizer build cannot scan.
export PGGSSENCMODE=disable
export TREND_TESTDB_SCRIPT="$(cd "$(dirname "$0")" && pwd)/testdb.sh"
ENV
  ;;
stop)
  if want pg; then pg_stop; fi
  if want maria; then maria_stop; fi
  ;;
start)
  if want pg; then pg_start; fi
  if want maria; then maria_start; fi
  ;;
restart)
  if want pg; then pg_stop; pg_start; fi
  if want maria; then maria_stop; maria_start; fi
  ;;
freeze) kill -STOP "$(head -n 1 "$dir/pgdata/postmaster.pid")" ;;
thaw) kill -CONT "$(head -n 1 "$dir/pgdata/postmaster.pid")" ;;
down)
  pg_stop
  maria_stop
  rm -rf "$dir"
  ;;
*) echo "testdb: unknown command $cmd" >&2; exit 2 ;;
esac
