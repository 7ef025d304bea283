#!/usr/bin/env bash
# The host simulator's clear errors: usage, a missing DLL, a DLL without the
# plug-in's exports, and the 32-bit product given to the 64-bit simulator.
set -uo pipefail
src=${QUENTRA_SOURCE:?}; build=${QUENTRA_BUILD:?}
host() { "$src/tools/wine/qwine" "$build/bin/quentra-host.exe" "$@" 2>&1 | tr -d '\r'; return "${PIPESTATUS[0]}"; }
passed=0; failed=0
expect() {  # expect NAME EXIT PATTERN -- ARGS...
  local name=$1 code=$2 pattern=$3; shift 4
  local out rc
  out=$(host "$@"); rc=$?
  if [ "$rc" = "$code" ] && grep -qE "$pattern" <<<"$out"; then
    passed=$((passed + 1)); echo "ok    $name"
  else
    failed=$((failed + 1)); echo "FAIL  $name (exit $rc): $out"
  fi
}
win() { printf 'Z:%s' "$(echo "$1" | tr / '\\')"; }
expect "usage" 2 '^usage: quentra-host run DLL' --
expect "missing DLL" 1 'DLL not found: .*nowhere' -- run "$(win "$build/nowhere/Quentra.dll")"
expect "no plug-in exports" 1 'has no export named TCGetVer' -- version "$(win "$build/bin/standins/verify/Corvelverify.dll")"
product=$src/build/win32/bin/Quentra.dll
if [ -f "$product" ]; then
  expect "other architecture" 1 'built for another architecture than this 64-bit host' -- version "$(win "$product")"
else
  echo "skip  other architecture (no 32-bit build at $product)"
fi
expect "the twin" 0 '^version   1 \(TCGetVer answered 1\)' -- version "$(win "$build/bin/Quentra.dll")"
echo "host errors: $passed passed, $failed failed"
[ "$failed" = 0 ]
