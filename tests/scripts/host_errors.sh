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
# preview prepares the machine it runs on: outside the wrapper's sandbox, in
# an ordinary prefix with a shortcut and a suite of its own, it refuses and
# changes nothing.
desktop=$build/wine/home
appkey='HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\App Paths\Corvelsafe.exe'
reg() { "$src/tools/wine/qwine" reg "$@" 2>/dev/null | tr -d '\r'; }
: >"$desktop/Mine.lnk"; rm -f "$desktop/Copperwing.lnk"
reg add "$appkey" /ve /d 'C:\mine\Corvelsafe.exe' /f >/dev/null
expect "preview outside its sandbox" 2 'runs only in the sandbox .*nothing was changed' -- \
  preview "$(win "$src/examples/quentracfg.ini")" --desktop Copperwing
if [ -f "$desktop/Mine.lnk" ] && [ ! -e "$desktop/Copperwing.lnk" ] && reg query "$appkey" /ve | grep -q 'C:\\mine'; then
  passed=$((passed + 1)); echo "ok    preview left the shortcut and the suite's key alone"
else
  failed=$((failed + 1)); echo "FAIL  preview changed the machine it refused"
fi
rm -f "$desktop/Mine.lnk"; reg delete "$appkey" /f >/dev/null
expect "the twin" 0 '^version   1 \(TCGetVer answered 1\)' -- version "$(win "$build/bin/Quentra.dll")"
echo "host errors: $passed passed, $failed failed"
[ "$failed" = 0 ]
