#!/usr/bin/env bash
# The fleet report's HTML page in a real headless browser: it renders without script
# errors, its table has one row per series with the columns read first leading, sorting by
# a column works both ways, the filters and the per-host view work, every exceeded and
# warning series has its hourly chart, and a screenshot is kept as an artifact.
#
#   report_browser_test.sh BUILD_DIR ARTIFACT_DIR
set -euo pipefail
build=$1 artifacts=$2
root=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d /tmp/trend-browser.XXXXXX)
trap 'rm -rf "$work"' EXIT
mkdir -p "$artifacts" "$work/odbc"
export LD_PRELOAD=libodbcinst.so.2 ASAN_OPTIONS=verify_asan_link_order=0
odbclib=/usr/lib/x86_64-linux-gnu/odbc
printf '[S]\nDriver=%s/libsqlite3odbc.so\n' "$odbclib" >"$work/odbc/odbcinst.ini"
printf '[fleet]\nDriver=S\nDatabase=%s/fleet.db\n' "$work" >"$work/odbc/odbc.ini"
export ODBCSYSINI=$work/odbc ODBCINI=$work/odbc/odbc.ini TREND_REGISTRY=$work/registry
sqlite3 "$work/fleet.db" <"$root/schema/tables.sql"
"$build/bin/trend-demo-data" | sqlite3 "$work/fleet.db"
# Hosts that differ only in blanks: the host selector must tell them apart.
columns=$(sqlite3 "$work/fleet.db" "SELECT group_concat(name, ', ') FROM pragma_table_info('HX_METRICS') WHERE name <> 'HOSTNAME'")
for variant in "' ' || HOSTNAME" "HOSTNAME || ' '" "replace(HOSTNAME, 'db', 'db  ')"; do
  sqlite3 "$work/fleet.db" "INSERT INTO HX_METRICS (HOSTNAME, $columns) SELECT $variant, $columns FROM HX_METRICS WHERE HOSTNAME = 'db01'"
done
"$build/bin/trendhost" register "$build/lib/Orrery.so" >/dev/null
status=0
"$build/bin/trendhost" report --dsn fleet --thresholds "$root/schema/thresholds.example.csv" \
  --format html --output "$work/report.html" --quiet || status=$?
[ "$status" = 0 ] || { echo "trendhost report exited with $status" >&2; exit 1; }
series=$("$build/bin/trendhost" report --dsn fleet --format csv --quiet | tail -n +2 | wc -l)

unset LD_PRELOAD
browser() {
  chromium --headless --no-sandbox --disable-gpu --disable-quic --no-first-run \
    --disable-background-networking --disable-component-update --disable-sync \
    --user-data-dir="$work/profile" --allow-file-access-from-files --enable-logging=stderr --v=0 "$@"
}
failed=0
for width in 1400 400; do
  browser --virtual-time-budget=10000 --dump-dom \
    "file://$root/tests/fixtures/report_check.html?page=file://$work/report.html&width=$width" \
    >"$work/dom.html" 2>>"$work/browser.log" || { cat "$work/browser.log" >&2; exit 1; }
  result=$(sed -n 's:.*<pre id="result">\([^<]*\)</pre>.*:\1:p' "$work/dom.html")
  echo "browser at $width px: $result"
  check() { grep -qw -- "$1" <<<"$result" || { echo "not found at $width px: $1" >&2; failed=1; }; }
  for finding in "rows=$series" "rows_after=$series" "rows_shown=$series" ascending=ok \
    descending=ok status_filter=ok host_filter=ok text_filter=ok titled=ok order=ok \
    host_view=ok hourly=ok fits=ok crossing_visible=ok stale_colour=ok; do
    check "$finding"
  done
  grep -q 'charts=[1-9]' <<<"$result" || { echo "no charts rendered" >&2; failed=1; }
done
if grep -E 'Uncaught|SyntaxError|ReferenceError|TypeError' "$work/browser.log"; then
  echo "script errors in the page" >&2
  failed=1
fi
browser --screenshot="$artifacts/report.png" --window-size=1400,2200 "file://$work/report.html" \
  2>>"$work/browser.log" >/dev/null
browser --screenshot="$artifacts/report-400px.png" --window-size=400,2200 \
  "file://$work/report.html" 2>>"$work/browser.log" >/dev/null
for shot in report.png report-400px.png; do
  [ -s "$artifacts/$shot" ] || { echo "no screenshot $shot" >&2; failed=1; }
done
if [ "$failed" = 0 ]; then echo "1 passed, 0 failed"; else echo "0 passed, 1 failed"; exit 1; fi
