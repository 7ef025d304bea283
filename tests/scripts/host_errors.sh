#!/usr/bin/env bash
# The host simulator's clear errors: usage and argument errors, a missing DLL,
# files that are no DLL, a DLL without the plug-in's exports, the 32-bit
# product given to the 64-bit simulator, and a check answering 0; the hints
# the tools print run as printed, on Windows and under the wrappers; the
# doctor on a machine without the suite still judges the campaign; --help
# needs no Wine; a new prefix is made silently.
set -uo pipefail
src=${QUENTRA_SOURCE:?}; build=${QUENTRA_BUILD:?}
host() {
  if [ "${1:-}" = cmd ]; then "$src/tools/wine/qwine" "$@" 2>&1 | tr -d '\r'; return "${PIPESTATUS[0]}"; fi
  "$src/tools/wine/qwine" "$build/bin/quentra-host.exe" "$@" 2>&1 | tr -d '\r'; return "${PIPESTATUS[0]}"
}
wrapper() { "$src/tools/quentra-host" "$@" 2>&1 | tr -d '\r'; return "${PIPESTATUS[0]}"; }
sandbox() { "$src/tools/quentra-sandbox" "$@" 2>&1 | tr -d '\r'; return "${PIPESTATUS[0]}"; }
passed=0; failed=0
expect() {  # expect NAME EXIT PATTERN -- ARGS...: the output in $out
  local name=$1 code=$2 pattern=$3; shift 4
  local rc
  out=$(${via:-host} "$@"); rc=$?
  if [ "$rc" = "$code" ] && grep -qE -e "$pattern" <<<"$out"; then
    passed=$((passed + 1)); echo "ok    $name"
  else
    failed=$((failed + 1)); echo "FAIL  $name (exit $rc): $out"
  fi
}
also() {  # also NAME PATTERN: the last expect's output holds PATTERN too (! PATTERN: does not)
  local name=$1 pattern=$2 want=0
  [[ $pattern != "! "* ]] || { want=1; pattern=${pattern#! }; }
  grep -qE -e "$pattern" <<<"$out"; local found=$?
  if [ "$found" = "$want" ]; then passed=$((passed + 1)); echo "ok    $name"
  else failed=$((failed + 1)); echo "FAIL  $name: $out"; fi
}
. "$src/scripts/lib.sh"
win() { quentra_winpath "$1"; }
twin=$(win "$build/bin/Quentra.dll")
files=$(mktemp -d "$build/host-errors.XXXXXX")
machine=host-errors  # a sandbox machine of this script's own
quentra_on_exit 'rm -rf "$files"; quentra_wineserver_stop "$build/wine/$machine-prefix"'
: >"$files/empty.dll"; printf 'MZ' >"$files/mz.dll"; head -c 4096 /dev/urandom >"$files/random.dll"
mkdir "$files/alone"; cp "$build/bin/Quentra.dll" "$files/alone/"
expect "usage" 2 '^usage: quentra-host run DLL' --
expect "usage: preview takes --png, not --seconds" 2 'quentra-host preview CAMPAIGN --png FILE \[--desktop' --
expect "--checks without a value" 2 '^quentra-host: --checks needs a value' -- run "$twin" --checks
expect "--checks abc" 2 '^quentra-host: --checks takes a number .*not abc' -- run "$twin" --checks abc
expect "unknown option" 2 '^quentra-host: unknown option --fast' -- run "$twin" --fast
expect "missing DLL" 1 'DLL not found: .*nowhere' -- run "$(win "$build/nowhere/Quentra.dll")"
expect "a folder" 1 'bin is a folder, not a DLL' -- run "$(win "$build/bin")"
expect "README.md" 1 'README.md is not a Windows DLL \(it does not start with MZ\)' -- run "$(win "$src/README.md")"
expect "an empty file" 1 'empty.dll is not a Windows DLL \(the file is empty\)' -- version "$(win "$files/empty.dll")"
expect "random bytes" 1 'random.dll is not a Windows DLL' -- run "$(win "$files/random.dll")"
expect "a bare MZ" 1 'mz.dll is not a Windows DLL \(its MZ header is cut short\)' -- run "$(win "$files/mz.dll")"
expect "a program" 1 'Corvelinst.exe is a Windows program, not a DLL' -- version "$(win "$build/bin/standins/Corvelinst.exe")"
expect "no plug-in exports" 1 'has no export named TCGetVer, TCCreate, TCDestory, TCCheck, TCEnum, TCDoCommand:' -- \
  version "$(win "$build/bin/standins/verify/Corvelverify.dll")"
# No campaign beside this copy: the check answers 0 and says where to look,
# naming the program by its path, as it runs where it was printed: pasted
# into cmd.exe (a batch file here) it runs the doctor.
expect "a 0 explains itself" 0 '^          Z:.*\\bin\\quentra-host\.exe doctor "Z:.*alone.Quentra.dll"$' -- \
  run "$(win "$files/alone/Quentra.dll")" --accept
printf '@%s\r\n' "$(sed -n '/^why 0/{n;s/^ *//;p}' <<<"$out")" >"$files/hint.cmd"
via=host expect "the 0's hint runs as printed in cmd.exe" 0 '^\[STOP\] suite executable ' -- cmd /c "$(win "$files/hint.cmd")"
product=$src/build/win32/bin/Quentra.dll
if [ -f "$product" ]; then
  expect "other architecture" 1 'is a 32-bit DLL: this host runs the 64-bit twin, use build/win64/bin/Quentra.dll' -- \
    version "$(win "$product")"
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
expect "doctor takes a campaign, as preview does" 0 'campaign file: .*quentracfg\.ini' -- doctor "$(win "$src/examples/quentracfg.ini")"
printf '[GameScan]\r\ng1o=Copperwing\r\n' >"$files/plain.dat"; printf 'not a campaign\r\n' >"$files/garbage.dat"
expect "doctor: an undecodable .dat" 1 'garbage.dat does not decode to a campaign' -- doctor "$(win "$files/garbage.dat")"
via=wrapper expect "doctor: no suite, the sandbox named" 0 \
  "^  (QUENTRA_BUILD=[^ ]* )?tools/quentra-sandbox --campaign '$src/examples/quentracfg.ini'\$" -- doctor "$src/examples/quentracfg.ini"
also "doctor: the path as the user gave it" "^campaign file: $src/examples/quentracfg.ini\$"
also "doctor: the machine's gate marked, the campaign's gates tried" '^\[STOP\] suite executable +this machine: no suite'
also "doctor: ... down to the campaign's last gate" '^\[pass\] message template '
# On this plain prefix (no suite), a campaign whose Message can never be
# filled: the doctor says it never shows, quotes the sequence, gives the fix,
# and exits 4.
printf '[Common]\r\nPurpose=percent\r\nPopupFrequency=127\r\n[NoAntiVirus]\r\nMessage=Found %%s and %%d\r\n[GameScan]\r\ng1o=Copperwing\r\n' >"$files/percent.ini"
via=wrapper expect "doctor on a plain prefix: a %d never shows" 4 '^\[fail\] message template +Message has a conversion other than %s or %%: "%d" at byte 13$' -- \
  doctor "$files/percent.ini"
also "doctor: ... with its cause and fix" '^  fix: write one %s where the names go'
also "doctor: ... not under the desktop scan" '! ^\[....\] desktop scan .*Message'
# --help answers at once: no build, no Wine, no prefix.
QUENTRA_BUILD=$files/unbuilt via=wrapper expect "quentra-host --help needs no Wine" 0 '^usage: quentra-host run DLL' -- --help
[ ! -e "$files/unbuilt" ] && { passed=$((passed + 1)); echo "ok    --help made nothing"; } || { failed=$((failed + 1)); echo "FAIL  --help made $files/unbuilt"; }
via=sandbox expect "quentra-sandbox --help" 0 '^  --campaign FILE' -- --help
# A new prefix is made before the program runs, and Wine's words about it
# are not the program's.
WINEPREFIX=$files/new-prefix via=wrapper expect "a new prefix: the program's output only" 0 '^version   1 ' -- version "$twin"
also "a new prefix: nothing of Wine's" '! wine: '
quentra_wineserver_stop "$files/new-prefix"
expect "doctor proves the DLL first" 1 'is not a Windows DLL' -- doctor "$(win "$src/README.md")"
expect "the twin" 0 '^version   1 \(TCGetVer answered 1\)' -- version "$twin"
expect "version prints the DLL's file version" 0 '^file      [0-9]+\.[0-9]+\.[0-9]+\.[0-9]+$' -- version "$twin"
# The Linux wrapper checks its arguments before any work.
via=wrapper expect "--png into a missing folder" 2 'cannot write .*/missing/b.png: the folder .*/missing does not exist' -- \
  preview "$src/examples/quentracfg.ini" --png "$files/missing/b.png"
via=wrapper QUENTRA_MACHINE=nowhere expect "no such machine" 2 "no sandbox machine 'nowhere' .*tools/quentra-sandbox" -- \
  run "$twin"
# The sandbox is a machine where the check answers 1 and the installer starts.
made=$("$src/tools/quentra-sandbox" --machine "$machine" --desktop Copperwing)
via=wrapper QUENTRA_MACHINE=$machine expect "the sandbox shows and installs" 0 '^install   1$' -- run 'C:\CorvelSafe\Tray\Quentra.dll' --accept
# Its way to run any other program on the machine runs as printed, from a
# shell that names no build tree.
line=$(sed -n 's/^   \(QUENTRA_BUILD=.* tools\/wine\/qwine\) PROGRAM .*/\1/p' <<<"$made")
via="eval cd $src && env -u QUENTRA_BUILD -u WINEPREFIX $line cmd /c echo" expect "the sandbox's qwine line runs as printed" 0 '^machine' -- machine
# Its opt-out file is its own, and the hint of a 0 runs as printed.
tray=$build/wine/$machine-prefix/drive_c/CorvelSafe/Tray
printf '[NoNotify]\r\nvault-games-2010=1\r\n' >"$tray/config.ini"
hint=$(QUENTRA_MACHINE=$machine wrapper run 'C:\CorvelSafe\Tray\Quentra.dll' | sed -n '/^why 0/{n;p}')
via="eval cd $src && $hint #" expect "the sandbox's opt-out, through the hint as printed" 0 '^\[STOP\] not opted out' --
# A campaign the loader refuses changes nothing; one that check accepts works.
before=$(cat "$tray/quentracfg.dat" "$tray/config.ini" | sha256sum)
via=sandbox expect "sandbox: an unencoded .dat refused" 1 'plain.dat holds a plain INI' -- --machine "$machine" --campaign "$files/plain.dat"
[ "$(cat "$tray/quentracfg.dat" "$tray/config.ini" | sha256sum)" = "$before" ] && { passed=$((passed + 1)); echo "ok    the refused campaign changed nothing"; } ||
  { failed=$((failed + 1)); echo "FAIL  a refused campaign changed the sandbox"; }
printf '[common]\r\npurpose=lower\r\npopupfrequency=127\r\n[gamescan]\r\ng1o=Copperwing\r\ng2o=Quillstorm\r\n' >"$files/lower.ini"
"$src/tools/quentra-sandbox" --machine "$machine" --campaign "$files/lower.ini" >/dev/null
via=wrapper QUENTRA_MACHINE=$machine expect "sandbox: a [gamescan] campaign shows" 0 '^check     1$' -- run 'C:\CorvelSafe\Tray\Quentra.dll'
# A campaign saved as UTF-8: converted, as check and the preview try it,
# with check's warning and its fix.
printf '\xEF\xBB\xBF[Common]\r\nPurpose=utf8\r\nPopupFrequency=127\r\n[NoAntiVirus]\r\nTitle=您的游戏\r\n[GameScan]\r\ng1o=Copperwing\r\n' >"$files/utf8.ini"
via=sandbox expect "sandbox: a UTF-8 campaign converted, with the fix" 0 \
  "^quentra-sandbox: warning: the text looks like UTF-8.*convert it: (QUENTRA_BUILD=[^ ]* )?tools/quentra-campaign convert $files/utf8.ini" -- \
  --machine "$machine" --campaign "$files/utf8.ini" --desktop Copperwing
via=wrapper QUENTRA_MACHINE=$machine expect "sandbox: ... and its Chinese shows" 0 '^title     您的游戏$' -- run 'C:\CorvelSafe\Tray\Quentra.dll'
echo "host errors: $passed passed, $failed failed"
[ "$failed" = 0 ]
