#!/bin/bash
# The bash completion as a shell uses it: commands, a class's methods after the class (and
# after a "--" further on), and the report's formats and models, against real libraries
# registered in a private registry.
set -euo pipefail
build=$1
source=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export TREND_REGISTRY=$work/registry
export PATH=$build/bin:$PATH
trendhost register "$build"/lib/*.so >/dev/null 2>&1
source "$source/scripts/trendhost.bash-completion"
words() {
  COMP_WORDS=("$@")
  COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
  COMPREPLY=()
  _trendhost
  echo "${COMPREPLY[*]}"
}
expect() {
  local want=$1 got
  shift
  got=$(words "$@")
  if [ "$got" != "$want" ]; then
    echo "completing '$*': expected '$want', got '$got'" >&2
    exit 1
  fi
}
expect "report" trendhost repo
expect "classes call check-thresholds" trendhost c
expect "OrreryFunctions.OrreryClass" trendhost call --dsn perf Orr
expect "TrendValue TimesExceeded" trendhost call --dsn perf OrreryFunctions.OrreryClass T
expect "GrowthRate" trendhost call OrreryFunctions.OrreryClass TrendValue a b -- Gro
expect "" trendhost call OrreryFunctions.OrreryClass TrendValue Gro
expect "openmetrics" trendhost report --format o
expect "recent-rate" trendhost report --model r
expect "ets" trendhost report --model e

# Names are never run: a data source section and a registry entry whose names hold command
# substitutions, backticks and arithmetic are offered quoted (or not at all), and nothing runs.
export ODBCSYSINI=$work ODBCINI=$work/odbc.ini
printf '[perf$(touch %s/ran1)]\nDriver=x\n[perf`touch %s/ran2`]\nDriver=x\n[perf$((7*6))]\nDriver=x\n[perfdb]\nDriver=x\n' \
  "$work" "$work" >"$work/odbc.ini"
: >"$work/odbcinst.ini"
got=$(words trendhost report --dsn perf)
for f in ran1 ran2; do
  [ ! -e "$work/$f" ] || { echo "completing --dsn ran a command from a section name" >&2; exit 1; }
done
case $got in
  *'perfdb'*'perf\$\(\(7\*6\)\)'* | *'perf\$\(\(7\*6\)\)'*'perfdb'*) ;;
  *) echo "completing --dsn: expected quoted names, got '$got'" >&2; exit 1 ;;
esac
[[ $got != *42* ]] || { echo "completing --dsn expanded arithmetic: '$got'" >&2; exit 1; }
printf 'ProgID=Evil$(touch %s/ran3).Class\nLibrary=/nonexistent.so\nCLSID={00000000-0000-0000-0000-000000000000}\n' \
  "$work" >"$TREND_REGISTRY/Evil"
got=$(words trendhost call E)
[ ! -e "$work/ran3" ] || { echo "completing a class ran a command from a ProgID" >&2; exit 1; }
[ -z "$got" ] || { echo "a ProgID that is no Name.Name identifier was offered: '$got'" >&2; exit 1; }
trendhost classes 2>"$work/classes.err" | grep -q '^OrreryFunctions.OrreryClass ' ||
  { echo "classes lost the valid entries" >&2; exit 1; }
grep -q 'skipped' "$work/classes.err" || { echo "classes did not name the skipped entry" >&2; exit 1; }
echo "completion: ok"
