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
expect "holt-winters holt-winters-fast" trendhost report --model h
expect "ets" trendhost report --model e
echo "completion: ok"
