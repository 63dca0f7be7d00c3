#!/usr/bin/env bash
# Checks that each library given exports exactly the frame's five entry points.
set -euo pipefail
expected="DllCanUnloadNow DllGetClassObject DllMain DllRegisterServer DllUnregisterServer"
status=0
for lib in "$@"; do
  actual=$(nm -D --defined-only "$lib" | awk '{print $3}' | sort | tr '\n' ' ' | sed 's/ $//')
  if [ "$actual" != "$expected" ]; then
    echo "$lib exports: $actual" >&2
    status=1
  fi
done
exit $status
