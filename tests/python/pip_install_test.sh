#!/usr/bin/env bash
# The Python package as pip installs it into a plain virtual environment, offline, from the
# build requirements Debian ships as wheels: it imports, a class registered by trendhost
# forecasts through it, and without any registration it says how to register one.
#
#   pip_install_test.sh BUILD_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
root=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d /tmp/trend-pip.XXXXXX)
trap 'rm -rf "$work"' EXIT
failed=0
fail() { echo "FAILED: $*" >&2; failed=1; }

# From a copy of the source, which must stay as it was: no build/ or *.egg-info in it.
cp -r "$root/python" "$work/source"
find "$work/source" -name __pycache__ -prune -exec rm -rf {} +
before=$(cd "$work/source" && find . | sort)
/usr/bin/python3 -m venv "$work/venv"
"$work/venv/bin/pip" install -q --no-index --find-links /usr/share/python-wheels "$work/source" \
  >"$work/pip.log" 2>&1 || { cat "$work/pip.log" >&2; fail "pip install"; }
after=$(cd "$work/source" && find . -name __pycache__ -prune -o -print | sort)
[ "$before" = "$after" ] || fail "pip install wrote into the source: $(diff <(echo "$before") <(echo "$after") | grep '^>' | head -5)"
python=$work/venv/bin/python
[ -n "$(find "$work/venv/lib" -path '*site-packages/trendlib/__init__.py')" ] ||
  fail "trendlib is not in the environment's site-packages"

# Run from elsewhere, so that only the installed copy can be imported.
cd "$work"
export TREND_REGISTRY=$work/registry XDG_DATA_DIRS=$work/none HOME=$work
unset PYTHONPATH
out=$(env LD_PRELOAD= "$python" -c '
import trendlib
try:
    trendlib.Dispatch("OrreryFunctions.OrreryClass")
except trendlib.TrendError as e:
    print(e)
' 2>&1) || fail "importing the installed package: $out"
grep -q "no class is registered" <<<"$out" || fail "no registration: $out"
grep -q "trendhost register FILE.so" <<<"$out" || fail "no registration hint: $out"

# Registered by the build's trendhost: a forecast through the installed package.
ASAN_OPTIONS=detect_leaks=0 "$build/bin/trendhost" register "$build/lib/Orrery.so" >/dev/null
out=$("$python" -c '
import trendlib, sys
with trendlib.Dispatch("OrreryFunctions.OrreryClass") as o:
    print(sorted(trendlib.classes()), trendlib.__file__)
' 2>&1) || fail "a registered class: $out"
grep -q "OrreryFunctions.OrreryClass" <<<"$out" || fail "the registered class: $out"
grep -q "$work/venv/" <<<"$out" || fail "not the installed copy: $out"

if [ "$failed" = 0 ]; then echo "1 passed, 0 failed"; else echo "0 passed, 1 failed"; exit 1; fi
