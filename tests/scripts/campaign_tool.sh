#!/usr/bin/env bash
# The campaign tool through its Linux wrapper: encode and decode round trips,
# the committed sample, check's report and warnings, describe's JSON, and bad
# input refused with a clear message, a non-zero exit and the input left as
# it was.
set -u
: "${QUENTRA_BUILD:?set QUENTRA_BUILD to the build tree}"
: "${QUENTRA_SOURCE:?set QUENTRA_SOURCE to the repository}"
tool=$QUENTRA_SOURCE/tools/quentra-campaign
sample_ini=$QUENTRA_SOURCE/examples/quentracfg.ini
sample_dat=$QUENTRA_SOURCE/examples/quentracfg.dat
work=$(mktemp -d "$QUENTRA_BUILD/campaign-tool.XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
pass() { echo "ok:   $*"; }

# run NAME EXPECTED_EXIT ARGS...: runs the tool, keeps stdout in $out and
# stderr in $err, and checks the exit status.
run() {
  local name=$1 expected=$2; shift 2
  "$tool" "$@" >"$work/stdout" 2>"$work/stderr"
  status=$?
  out=$(cat "$work/stdout"); err=$(cat "$work/stderr")
  if [ "$status" -ne "$expected" ]; then
    fail "$name: exit $status, expected $expected"; echo "$out" | head -20; echo "$err" | head -5
    return 1
  fi
  return 0
}
has() {  # has NAME TEXT PATTERN (fixed string)
  if grep -qF -- "$3" <<<"$2"; then pass "$1"; else fail "$1: no '$3' in:"; echo "$2" | head -40; fi
}
lacks() {
  if grep -qF -- "$3" <<<"$2"; then fail "$1: unexpected '$3'"; else pass "$1"; fi
}
size() { stat -c %s "$1"; }
# The decoded form of a plain text: itself followed by spaces to whole words.
padded() { local n; n=$(size "$1"); cat "$1"; head -c $(( (4 - n % 4) % 4 )) /dev/zero | tr '\0' ' '; }

# ------------------------------------------------------------ the sample
run "encode the sample" 0 encode "$sample_ini" sample.dat &&
  { cmp -s sample.dat "$sample_dat" && pass "the committed .dat is the encoded .ini" ||
      fail "examples/quentracfg.dat is not the encoding of examples/quentracfg.ini (re-run encode)"; }
run "decode the committed sample" 0 decode "$sample_dat" sample.ini &&
  { cmp -s sample.ini <(padded "$sample_ini") && pass "the committed .dat decodes to the .ini plus padding" ||
      fail "the committed .dat does not decode to the .ini plus spaces"; }
[ $(( $(size "$sample_dat") % 4 )) -eq 0 ] && pass "the sample is whole words" || fail "the sample is not whole words"

run "check the sample" 0 check "$sample_dat"
has "sample: patterns in order" "$out" 'ScanPatterns      (5) "Quillstorm", "Tidewarden", "Copperwing", "Emberlane", "Brambleport"'
has "sample: featured in order" "$out" 'FeaturedNames     (4) "Quillstorm", "Tidewarden", "Emberlane", "Brambleport"'
has "sample: every weekday" "$out" "shows on every day, Sunday to Saturday"
has "sample: MaxPopupTimes" "$out" "MaxPopupTimes     3"
has "sample: Chinese title as UTF-8" "$out" 'Title             "您的游戏账号可能存在被盗风险！"'
has "sample: message with its line feed" "$out" '为目标。\n建议您'
has "sample: download address" "$out" '"http://download.corvelsafe.com/vault/setup.exe"'
has "sample: no warnings" "$out" "no warnings"
run "check the sample's plain INI" 0 check "$sample_ini"
has "sample ini: same patterns" "$out" '"Quillstorm", "Tidewarden", "Copperwing", "Emberlane", "Brambleport"'

# ------------------------------------------------------------ round trips
for extra in 0 1 2 3; do
  name="round trip, length mod 4 = $extra"
  printf '[GameScan]\r\nk1o=Emberlane\r\n' >rt.ini
  while [ $(( $(size rt.ini) % 4 )) -ne "$extra" ]; do printf ';' >>rt.ini; done
  cp rt.ini rt.orig
  run "$name: encode" 0 encode rt.ini rt.dat || continue
  [ $(( $(size rt.dat) % 4 )) -eq 0 ] || fail "$name: encoded length $(size rt.dat) is not whole words"
  run "$name: decode" 0 decode rt.dat back.ini || continue
  cmp -s back.ini <(padded rt.orig) && pass "$name: byte for byte plus padding" || fail "$name: bytes differ"
  cmp -s rt.ini rt.orig || fail "$name: the input changed"
done

# ------------------------------------------------------------ a broken campaign
printf '%s\r\n' '[Common]' 'Purpose=broken' 'DelayMinute=0' 'MaxPopupTimes=2000000' 'Colour=blue' \
  'AntiVirus1=1,2,3' 'AntiVirus3=4,5,6' '[NoAntiVirus]' 'Title=T' 'Message=Found %s and %d' 'ID=broken' \
  'ShowCheckBox=5' 'Speed=9' '[Extra]' 'x=1' '[GameScan]' 'k1m=Quillstorm' 'k2o=Tidewarden' 'k3x=Copperwing' \
  'k4o=Emberlane' >broken.ini
printf 'k5m=Brambleport' >>broken.ini   # no line end after the last line
[ $(( $(size broken.ini) % 4 )) -ne 0 ] || printf ';' >>broken.ini
run "encode the broken INI" 0 encode broken.ini broken-whole.dat
head -c "$(size broken.ini)" broken-whole.dat >broken.dat   # cut short of a whole word
run "check the broken file" 4 check broken.dat
has "broken: the stopping key and what it hides" "$out" \
  'warning: [GameScan] key "k3x" ends in '"'"'x'"'"', not '"'"'m'"'"' (featured) or '"'"'o'"'"' (pattern): it stops the section; the plug-in never reads the keys after it: k4o, k5m'
has "broken: lists up to the stop" "$out" 'ScanPatterns      (2) "Quillstorm", "Tidewarden"'
has "broken: a conversion other than one %s" "$out" "warning: Message has a conversion other than %s or %%: the plug-in refuses the template"
has "broken: the % sequence quoted" "$out" 'it is "%d" at byte 13 of the message "Found %s and %d"'
has "broken: default weekdays in words" "$out" "its default 7 is a set of weekday bits"
has "broken: Sunday to Tuesday only" "$out" "shows on Sunday, Monday and Tuesday only"
has "broken: DelayMinute clamped" "$out" "warning: DelayMinute 0 is outside 1..1000000: the plug-in uses 1"
has "broken: MaxPopupTimes clamped" "$out" "warning: MaxPopupTimes 2000000 is outside 0..1000000: the plug-in uses 1000000"
has "broken: flag stored as 1" "$out" "warning: ShowCheckBox 5 is neither 0 nor 1: the plug-in stores 1"
has "broken: ignored [Common] key" "$out" "warning: [Common] Colour is not a key the plug-in reads: it is ignored"
has "broken: ignored [NoAntiVirus] key" "$out" "warning: [NoAntiVirus] Speed is not a key the plug-in reads: it is ignored"
has "broken: ignored section" "$out" "warning: section [Extra] is ignored"
has "broken: AntiVirus after a gap" "$out" "warning: [Common] AntiVirus3 is never read"
has "broken: an absent text keeps an earlier one" "$out" \
  "warning: CommandText is absent or empty: a first load gives the built-in \"立即安装\", and a host that loaded an earlier campaign keeps that campaign's CommandText"
has "broken: filler glued to the last line" "$out" "not a whole number of 4-byte words, and its last line \"k5m=Brambleport"

printf '[Common]\r\nPopupFrequency=7\r\n[NoAntiVirus]\r\nMessage=%%s and %%s\r\nDownloadURL=http://x.test/a b\r\n[GameScan]\r\nk1o=\r\nk2m=Emberlane\r\n' >stops.ini
run "check a file whose first [GameScan] key is empty" 4 check stops.ini
has "stops: empty first value" "$out" 'warning: [GameScan] key "k1o" has an empty value: it stops the section; the plug-in never reads the keys after it: k2m'
has "stops: never shows, and the fix" "$out" "gives no pattern: the plug-in never shows this campaign; give it a key ending in o"
has "stops: a second %s" "$out" "warning: Message has a second %s"
has "stops: an explicit 7 is a bit set too" "$out" "PopupFrequency 7 is a set of weekday bits"
has "stops: an address with a blank" "$out" 'warning: DownloadURL "http://x.test/a b" holds a blank or a quote: the installer receives "http://x.test/a%20b"'
printf '[NoAntiVirus]\r\nDownloadURL=http://x.test/a\001b\r\n[GameScan]\r\nk1o=Emberlane\r\n' >control.ini
run "check an address with a control character" 4 check control.ini
has "stops: an address with a control character" "$out" 'the check stops at "download address passable"'

# The exit status tells a CI job a campaign that never shows, on any machine on
# any day (4), from one with warnings that can show (3) and one without (0).
base='[Common]\r\nPurpose=codes\r\nPopupFrequency=127\r\nMaxPopupTimes=3\r\n[NoAntiVirus]\r\nTitle=T\r\nMessage=Found %s\r\nCommandText=Go\r\nDownloadURL=http://x.test/\r\nID=codes-1\r\n[GameScan]\r\ng1o=Copperwing\r\n'
while IFS='|' read -r name code from to; do
  printf '%b' "${base/"$from"/"$to"}" >codes.ini
  run "exit status $code: $name" "$code" check codes.ini && pass "exit status $code: $name"
  [ "$code" != 4 ] || has "exit status 4 says so: $name" "$out" "never shows: the campaign fails"
done <<'EOF'
nothing to warn about|0|Title=T|Title=T
a %d in Message|4|Found %s|Found %s and %d
a second %s|4|Found %s|%s and %s
an empty [GameScan]|4|g1o=Copperwing|
a weekday mask of 0|4|PopupFrequency=127|PopupFrequency=0
MaxPopupTimes=0|4|MaxPopupTimes=3|MaxPopupTimes=0
a negative MaxPopupTimes|4|MaxPopupTimes=3|MaxPopupTimes=-2
a control character in DownloadURL|4|x.test/|x.test/\x01
a title longer than the balloon|3|Title=T|Title=The title of this campaign is longer than any balloon can hold whole
a UTF-8 file|3|Title=T|Title=\xe6\x82\xa8\xe7\x9a\x84
a weekday mask of Sunday to Tuesday|3|PopupFrequency=127|PopupFrequency=7
EOF

# More key names than the plug-in's 1024-byte list holds.
{ printf '[Common]\r\nPopupFrequency=127\r\n[GameScan]\r\n'
  for i in $(seq -w 0 79); do printf 'pattern_key_%sm=v%s\r\n' "$i" "$i"; done; } >many.ini
run "check a [GameScan] longer than the key list" 3 check many.ini
has "many: the cut is named" "$out" "take more than the 1023 bytes the plug-in reads: it never sees"
has "many: the last key is never seen" "$out" "pattern_key_79m"
has "many: the first keys are read" "$out" '"v00", "v01", "v02"'

# A file whose length is not whole words but that ends in a line end loads.
c=""
while :; do
  printf ';%s\r\n[GameScan]\r\nk1m=Quillstorm\r\nk2o=Copperwing\r\n' "$c" >ends.ini
  [ $(( $(size ends.ini) % 4 )) -ne 0 ] && break
  c="${c}c"
done
run "encode ends.ini" 0 encode ends.ini ends-whole.dat
head -c "$(size ends.ini)" ends-whole.dat >ends.dat
run "check a cut file that ends in a line end" 3 check ends.dat
has "line end: both patterns whole" "$out" 'ScanPatterns      (2) "Quillstorm", "Copperwing"'
lacks "line end: no filler warning" "$out" "has no line end"

# What authors get wrong, each warned about with its fix (GBK through iconv).
{ printf '[Common]\r\nPopupFrequency=127\r\n[NoAntiVirus]\r\nTitle=%s\r\nMessage=%s%%s\r\n' \
    "$(printf '长标题%.0s' $(seq 12))a" "$(printf '您的游戏账号需要保护，%.0s' $(seq 14))"
  printf '%s\r\n' 'Level=abc' 'Tittle=x' 'CommandText=a' 'DownloadURL=http://x.test/' 'ID=m-1' '[Gamescans]' \
    '[GameScan]' 'g1o=Copperwing' '[Common]' 'Purpose=late'; } | iconv -f UTF-8 -t GBK >mistakes.ini
run "check an author's mistakes" 3 check mistakes.ini
while IFS='|' read -r name text; do has "mistakes: $name" "$out" "$text"; done <<'EOF'
title cut|warning: Title is 73 bytes; a tray balloon shows 63 (NOTIFYICONDATAA szInfoTitle), so it ends at …"长标题长标题长标题长" and "标题长标题a" never shows
title split|byte 63 falls inside "标", so a host that cuts bytes, not characters, shows half a character there
message cut|the message is 318 bytes; a tray balloon shows 255 (NOTIFYICONDATAA szInfo), so it ends at …"要保护，您的游戏账号" and
no Purpose|warning: Purpose is absent or empty: the popup count and the day of the last showing are kept per Purpose
Level=abc|warning: Level "abc" is not a number: the plug-in reads it as 0; write a whole number (absent, it is 3)
repeated section|warning: section [Common] is given more than once (lines 1 and 14): the plug-in reads the first only, so it never sees Purpose; merge them
near-miss section|warning: section [Gamescans] is ignored: the plug-in reads [Common], [NoAntiVirus] and [GameScan] only; did you mean [GameScan]?
near-miss key|warning: [NoAntiVirus] Tittle is not a key the plug-in reads: it is ignored; did you mean Title?
EOF

# ------------------------------------------------------------ describe
# What the plug-in's own loader holds, as JSON for the receiver's ledger:
# the loader's bounds and its stop at a bad [GameScan] key included.
run "describe the sample" 0 describe "$sample_dat" --json
has "describe: the sample's facts" "$out" '{"file":"'"$sample_dat"'","ID":"vault-games-2010","Purpose":"vault-games-2010-spring","MaxPopupTimes":3,"PopupFrequency":127,"Title":"您的游戏账号可能存在被盗风险！","ScanPatterns":["Quillstorm","Tidewarden","Copperwing","Emberlane","Brambleport"],"FeaturedNames":["Quillstorm","Tidewarden","Emberlane","Brambleport"]}'
run "describe the broken file" 0 describe broken.dat --json
has "describe: the loader's clamp and default" "$out" '"MaxPopupTimes":1000000,"PopupFrequency":7'
has "describe: the patterns up to the stop" "$out" '"ScanPatterns":["Quillstorm","Tidewarden"],"FeaturedNames":["Quillstorm"]'
printf '[Common]\r\nPurpose=say "hi" \\ \xB4\xBA\r\n[NoAntiVirus]\r\nID=q"1\r\n[GameScan]\r\nk1o=a\\b\r\n' >quoted.ini
run "describe quotes and backslashes" 0 describe quoted.ini --json
has "describe: escaped for JSON" "$out" '"ID":"q\u00221","Purpose":"say \u0022hi\u0022 \u005c 春"'
has "describe: a pattern's backslash" "$out" '"ScanPatterns":["a\u005cb"]'
# ------------------------------------------------------------ bad input
printf 'not a campaign at all\r\n' >junk.txt
: >empty.dat
mkdir -p folder.dat
{ cat "$sample_ini"; head -c 1048576 /dev/zero | tr '\0' ';'; } >huge.ini
run "check a missing file" 1 check missing.dat && has "missing: clear message" "$err" "missing.dat does not exist"
run "check an empty file" 1 check empty.dat && has "empty: clear message" "$err" "is empty"
run "check a folder" 1 check folder.dat && has "folder: clear message" "$err" "is a folder"
run "check a campaign above 1 MiB" 1 check huge.ini && has "huge: clear message" "$err" "the plug-in refuses campaign files above 1048576 bytes"
run "check something else" 1 check junk.txt && has "junk: clear message" "$err" "neither a campaign INI nor an encoded campaign"
cp "$sample_ini" plain-named.dat
run "check a plain INI named .dat" 1 check plain-named.dat && has "plain .dat: clear message" "$err" "holds a plain INI"
run "decode a plain INI" 1 decode "$sample_ini" nothing.ini && has "decode plain: clear message" "$err" "is a plain INI, not an encoded campaign"
[ -e nothing.ini ] && fail "decode of a plain INI left an output" || pass "no output after a refused decode"
run "encode an encoded file" 1 encode "$sample_dat" again.dat && has "encode encoded: clear message" "$err" "is already encoded"
run "encode junk" 1 encode junk.txt junk.dat && has "encode junk: clear message" "$err" "not a campaign INI"
run "no arguments" 2
run "unknown command" 2 frobnicate x && has "unknown: clear message" "$err" "unknown command 'frobnicate'"
run "too few arguments" 2 encode only-one.ini
run "describe without --json" 2 describe "$sample_dat" && has "describe: asks for --json" "$err" "give FILE --json"
run "describe a missing file" 1 describe missing.dat --json && has "describe missing: clear message" "$err" "missing.dat does not exist"
QUENTRA_BUILD=$work/unbuilt run "a first call says it builds" 2 check x.ini &&
  has "first call: building, and how long" "$err" "building quentra-campaign in $work/unbuilt (the first build takes about 80 s)"
run "help" 0 --help && has "help: usage" "$out" "quentra-campaign check FILE"

# Never over the input, however it is named.
cp "$sample_ini" mine.ini; before=$(sha256sum <mine.ini)
ln mine.ini hardlink.ini; ln -s mine.ini symlink.ini
for target in mine.ini ./mine.ini "$work/mine.ini" hardlink.ini symlink.ini; do
  run "encode onto its input as $target" 2 encode mine.ini "$target" && has "same file: $target" "$err" "it is the input file"
done
[ "$(sha256sum <mine.ini)" = "$before" ] && pass "the input is unchanged" || fail "the input was changed"

# A refused or failed write leaves an existing output as it was.
printf 'keep me' >existing.ini
run "decode junk over an existing file" 1 decode junk.txt existing.ini
[ "$(cat existing.ini)" = "keep me" ] && pass "existing output untouched" || fail "existing output changed"
run "encode into a missing folder" 1 encode "$sample_ini" no/such/folder/x.dat && has "missing folder: clear message" "$err" "its folder does not exist"
run "encode over an existing output" 0 encode "$sample_ini" existing.ini
cmp -s existing.ini "$sample_dat" && pass "an existing output is replaced whole" || fail "existing output not replaced"
ls -a | grep -q '^~qc' && fail "a temporary file was left beside the outputs" || pass "no temporary file left beside the outputs"

# A UTF-8 INI: encode refuses it unless told, check says so too, and the fix
# it prints works on a file with a byte order mark, as Notepad saves it.
printf '\xEF\xBB\xBF[NoAntiVirus]\r\nTitle=您的游戏\r\n[GameScan]\r\nk1o=Emberlane\r\n' >utf8.ini
run "encode a UTF-8 INI" 1 encode utf8.ini utf8.dat && has "utf8: encode refuses" "$err" "looks like UTF-8"
[ -e utf8.dat ] && fail "utf8: a refused encode wrote its output" || pass "utf8: nothing written"
run "encode a UTF-8 INI when told" 0 encode --from-utf8 utf8.ini told.dat
run "check a UTF-8 INI" 3 check utf8.ini && has "utf8: check warns" "$out" "the text looks like UTF-8"
has "utf8: checked as converted" "$out" 'Title             "您的游戏"'
lacks "utf8: no warning from reading UTF-8 as GBK" "$out" "not valid code page 936"
fix=$(grep -o 'convert it: [^(]*' <<<"$out" | sed 's/^convert it: //')
has "utf8: the fix is the tool's" "$fix" "tools/quentra-campaign convert utf8.ini campaign-gbk.ini"
ln -s "$QUENTRA_SOURCE/tools" tools && eval "$fix" >/dev/null && mv campaign-gbk.ini gbk.ini
cmp -s gbk.ini <(printf '[NoAntiVirus]\r\nTitle=您的游戏\r\n[GameScan]\r\nk1o=Emberlane\r\n' | iconv -t GBK) &&
  pass "utf8: the printed fix converts a file with a byte order mark" || fail "utf8: the fix did not convert"
run "encode the converted INI" 0 encode gbk.ini gbk.dat
cmp -s told.dat gbk.dat && pass "utf8: --from-utf8 encodes the converted text" || fail "utf8: --from-utf8 differs"
run "check the converted INI" 3 check gbk.ini && lacks "converted: no UTF-8 warning" "$out" "UTF-8"
run "convert a GBK INI" 1 convert gbk.ini again.ini && has "convert: GBK needs none" "$err" "does not look like UTF-8"
run "describe a UTF-8 INI" 1 describe utf8.ini --json && has "utf8: describe refuses, with the fix" "$err" "is UTF-8 text; the plug-in reads code page 936, so what it would load is noise; convert it:"

# ------------------------------------------------------------ no side effects
# check loads with the plug-in's own code but leaves the machine's popup
# bookkeeping alone, and leaves no decoded copy in %TEMP%.
key='HKLM\SOFTWARE\CorvelSafe\Tavrik'
reg() { "$QUENTRA_SOURCE/tools/wine/qwine" reg "$@" 2>&1; }
reg add "$key" /v BoxPurpose /t REG_SZ /d before /f >/dev/null
reg add "$key" /v BoxPopupCount /t REG_DWORD /d 2 /f >/dev/null
run "check a campaign with another purpose" 0 check "$sample_dat"
run "describe a campaign with another purpose" 0 describe "$sample_dat" --json
query=$(reg query "$key")
has "check leaves BoxPurpose" "$query" "before"
has "check leaves BoxPopupCount" "$query" "0x2"
reg delete "$key" /f >/dev/null
temp_dirs=$(find "$QUENTRA_BUILD/wine/prefix/drive_c/users" -maxdepth 4 -type d -name Temp 2>/dev/null)
left=$(for d in $temp_dirs; do find "$d" -maxdepth 1 \( -name '~tc*.tmp' -o -name '~qc*.tmp' \); done)
[ -z "$left" ] && pass "no decoded copy left in the temporary folder" || fail "left in the temporary folder: $left"

echo
if [ "$failures" -ne 0 ]; then echo "$failures failure(s)"; exit 1; fi
echo "all passed"
