#!/usr/bin/env bash
# The installation as its users get it: `cmake --install` into a scratch prefix, a C
# program built with pkg-config and a CMake project built with find_package(TrendFrame),
# each loading Orrery through the installed registry for a forecast; the installed
# trendhost finding its classes through XDG_DATA_DIRS alone; and the Debian package built,
# installed into a scratch root and removed, leaving no registration behind.
#
#   install_test.sh BUILD_DIR SANITIZE(ON|OFF)
set -euo pipefail
build=$(cd "$1" && pwd) sanitize=$2
root=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d /tmp/trend-install.XXXXXX)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
flags=()
if [ "$sanitize" = ON ]; then
  flags=(-fsanitize=address,undefined)
  export ASAN_OPTIONS=detect_leaks=0:verify_asan_link_order=0
fi
failed=0
fail() { echo "FAILED: $*" >&2; failed=1; }

# Under umask 000 as well: the modes are the install rules' own, never world-writable.
(umask 000 && cmake --install "$build" --prefix "$prefix" >/dev/null)
mode() { stat -c %a "$1"; }
[ "$(mode "$prefix/lib/trend")" = 755 ] || fail "lib/trend has mode $(mode "$prefix/lib/trend")"
[ "$(mode "$prefix/share/trend-registry")" = 755 ] || fail "the registry folder has mode $(mode "$prefix/share/trend-registry")"
[ "$(mode "$prefix/share/trend-registry/OrreryFunctions.OrreryClass")" = 644 ] ||
  fail "a registry entry has mode $(mode "$prefix/share/trend-registry/OrreryFunctions.OrreryClass")"
[ "$(mode "$prefix/lib/trend/Orrery.so")" = 755 ] || fail "Orrery.so has mode $(mode "$prefix/lib/trend/Orrery.so")"
[ -z "$(find "$prefix" -perm -o+w ! -type l)" ] || fail "world-writable: $(find "$prefix" -perm -o+w ! -type l | head -3)"
# The Python package where the system's python3 reads packages under this prefix (its
# /usr/local entry with the prefix in place of /usr/local), and it imports from there.
local=$(/usr/bin/python3 -c 'import sys; print(next(p for p in sys.path if p.startswith("/usr/local/lib/")))')
pythondir=$prefix${local#/usr/local}
[ -f "$pythondir/trendlib/__init__.py" ] || fail "trendlib is not in $pythondir"
PYTHONPATH=$pythondir /usr/bin/python3 -c 'import trendlib.fleet' || fail "the installed trendlib does not import"
# register --system under umask 000 into a fresh system registry: 755 and 644 too.
(umask 000 && XDG_DATA_DIRS=$work/sys TREND_REGISTRY= "$prefix/bin/trendhost" register --system \
  "$prefix/lib/trend/Orrery.so" >/dev/null) || fail "register --system"
[ "$(mode "$work/sys/trend-registry")" = 755 ] || fail "register --system made a folder of mode $(mode "$work/sys/trend-registry")"
[ "$(mode "$work/sys/trend-registry/OrreryFunctions.OrreryClass")" = 644 ] || fail "register --system wrote an entry of mode $(mode "$work/sys/trend-registry/OrreryFunctions.OrreryClass")"

# A data source of the test's own, and no per-user registry: only the installed one.
mkdir -p "$work/odbc" "$work/home"
printf '[S]\nDriver=/usr/lib/x86_64-linux-gnu/odbc/libsqlite3odbc.so\n' >"$work/odbc/odbcinst.ini"
printf '[installed]\nDriver=S\nDatabase=%s/t.db\n' "$work" >"$work/odbc/odbc.ini"
sqlite3 "$work/t.db" <"$prefix/share/trend/tables.sql"
"$prefix/bin/trend-demo-data" | sqlite3 "$work/t.db"
export ODBCSYSINI=$work/odbc ODBCINI=$work/odbc/odbc.ini HOME=$work/home XDG_DATA_DIRS=$prefix/share
unset TREND_REGISTRY XDG_DATA_HOME
key=(web01 avgcpubusy 2026-06-02 2026-11-30)

expected=$("$prefix/bin/trendhost" call --dsn installed OrreryFunctions.OrreryClass TrendValue web01 avgcpubusy "" \
  2026-06-02 2026-11-30 30 0 2) || fail "the installed trendhost does not find its classes"
"$prefix/bin/trendhost" classes >"$work/classes"
grep -q "OrreryFunctions.OrreryClass  $prefix/lib/trend/Orrery.so" "$work/classes" ||
  fail "classes does not list the installed Orrery"
"$prefix/bin/trendhost" --version >"$work/version"
grep -q '^trendhost 1\.' "$work/version" || fail "--version"
man -l "$prefix/share/man/man1/trendhost.1" >/dev/null 2>&1 || [ -s "$prefix/share/man/man1/trendhost.1" ] || fail "man page"
for doc in README.md methods.md own-database.md capacity-rules.yml node-exporter-map.csv; do
  [ "$(mode "$prefix/share/doc/trend/$doc")" = 644 ] || fail "share/doc/trend/$doc is missing or not 644"
done

# pkg-config
export PKG_CONFIG_PATH=$prefix/lib/pkgconfig
cc "${flags[@]}" -o "$work/pc_client" "$root/tests/fixtures/installed_client.c" \
  $(pkg-config --cflags --libs trendframe) || fail "building with pkg-config"
[ "$(pkg-config --variable=moduledir trendframe)" = "$prefix/lib/pkgconfig/../../lib/trend" ] ||
  fail "moduledir: $(pkg-config --variable=moduledir trendframe)"
got=$("$work/pc_client" installed "${key[@]}") || fail "the pkg-config client"
[ "$(printf '%.6g' "$got")" = "$(printf '%.6g' "$expected")" ] || fail "pkg-config client: $got, trendhost: $expected"

# find_package(TrendFrame)
cmake -S "$root/tests/fixtures/installed_cmake" -B "$work/cmake" -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_C_FLAGS="${flags[*]}" >/dev/null || fail "configuring with find_package"
cmake --build "$work/cmake" >/dev/null || fail "building with find_package"
got=$("$work/cmake/installed_client" installed "${key[@]}") || fail "the CMake client"
[ "$(printf '%.6g' "$got")" = "$(printf '%.6g' "$expected")" ] || fail "CMake client: $got, trendhost: $expected"

# The Debian package into a scratch root, and out again.
(cd "$work" && cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/deb" >/dev/null) || fail "cpack"
deb=$(ls "$work"/deb/*.deb 2>/dev/null | head -n 1)
if [ -n "$deb" ]; then
  dpkg-deb -f "$deb" Depends >"$work/depends"
  grep -q unixodbc "$work/depends" || fail "the package does not depend on unixodbc"
  dpkg-deb -c "$deb" >"$work/contents"
  grep -q './usr/share/trend-registry/OrreryFunctions.OrreryClass' "$work/contents" || fail "no registration in the package"
  grep -q './usr/lib/python3/dist-packages/trendlib/fleet.py' "$work/contents" || fail "no Python package in the package"
  grep -q './usr/share/doc/trend/own-database.md' "$work/contents" || fail "no documents in the package"
  scratch=$work/root
  mkdir -p "$scratch/var/lib/dpkg/info" "$scratch/var/lib/dpkg/updates" "$scratch/var/lib/dpkg/triggers"
  : >"$scratch/var/lib/dpkg/status"
  : >"$scratch/var/lib/dpkg/available"
  dpkg --root="$scratch" --force-depends --force-script-chrootless -i "$deb" >/dev/null 2>&1 || fail "dpkg -i"
  grep -q '^Library=/usr/lib/trend/Orrery.so$' "$scratch/usr/share/trend-registry/OrreryFunctions.OrreryClass" ||
    fail "the installed registration does not name /usr/lib/trend/Orrery.so"
  [ -x "$scratch/usr/bin/trendhost" ] || fail "no trendhost in the package"
  dpkg --root="$scratch" --force-depends --force-script-chrootless -r trend-libraries >/dev/null 2>&1 || fail "dpkg -r"
  [ -z "$(ls -A "$scratch/usr/share/trend-registry" 2>/dev/null)" ] || fail "registrations left behind"
  [ ! -e "$scratch/usr/bin/trendhost" ] || fail "trendhost left behind"
else
  fail "no package built"
fi

if [ "$failed" = 0 ]; then echo "1 passed, 0 failed"; else echo "0 passed, 1 failed"; exit 1; fi
