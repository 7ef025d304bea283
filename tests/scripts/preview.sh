#!/usr/bin/env bash
# The balloon preview: the sample campaign renders its balloon, enlarged, with
# its command text; each run's desktop holds only the shortcuts it names, so a
# desktop that matches nothing answers 1 right after one that matched; several
# desktops make one panel each; a campaign that would not show today (its
# weekday) renders with a note, and one that never shows on any day (a weekday
# mask of 0) renders marked so, exiting 4; without --desktop, the desktop
# holds the campaign's first pattern; an over-long message is warned about
# with its cut marked and laid out whole; a UTF-8 file renders as converted; a
# campaign that cannot render names its cause.
set -euo pipefail
src=${QUENTRA_SOURCE:?}; export QUENTRA_BUILD=${QUENTRA_BUILD:?}
work=$(mktemp -d); trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; exit 1; }
preview() {  # preview NAME CAMPAIGN ARGS...: output in $work/NAME.txt, exit in $status
  local name=$1 campaign=$2; shift 2
  status=0
  "$src/tools/quentra-host" preview "$campaign" "$@" --png "$work/$name.png" >"$work/$name.txt" 2>&1 || status=$?
  echo "$status" >"$work/$name.rc"
}
rc() { cat "$work/$1.rc"; }
rows() {  # rows NAME: each "what|check" row of stdin must hold
  while IFS='|' read -r what check; do eval "$check" || { cat "$work/$1.txt" 2>/dev/null || true; fail "$1: $what"; }; done
}

campaign=$src/examples/quentracfg.ini
preview sample "$campaign" --desktop Copperwing.lnk
colours=$(identify -format '%k' "$work/sample.png")
rows sample <<'EOF2'
exits 0|[ "$status" -eq 0 ]
shows the balloon|grep -q '^balloon   shown until the picture is taken' "$work/sample.txt"
names the command text|grep -q '^caption   command text: 立即安装' "$work/sample.txt"
a picture, not a blank|[ "$colours" -gt 8 ]
the balloon enlarged|[ "$(identify -format %w "$work/sample.png")" -gt 600 ]
EOF2
# Right after a desktop that matched, one that matches nothing: its own panel
# says why, beside the next desktop's balloon.
preview two "$campaign" --desktop Notes --desktop 'Copperwing.lnk|Notes.lnk'
rows two <<'EOF2'
answers 1|[ "$status" -eq 1 ]
no stale shortcut|grep -q 'cannot render: no desktop shortcut matches a pattern .*desktop: Notes.lnk$' "$work/two.txt"
the second desktop shows|grep -q '^balloon   shown' "$work/two.txt"
two panels side by side|[ "$(identify -format %w "$work/two.png")" -gt $(( $(identify -format %w "$work/sample.png") * 3 / 2 )) ]
EOF2

# A message of 318 bytes (the ANSI balloon text holds 255), on a campaign whose
# PopupFrequency leaves out today.
python3 - "$work/long.ini" "$work/refused.ini" "$work/utf8.ini" "$work/mask0.ini" <<'PY'
import datetime, sys
today = (datetime.date.today().weekday() + 1) % 7   # Sunday is bit 0
msg = ("您的游戏账号需要保护，" * 14 + "%s").encode("gbk")
def ini(frequency, message, encoding="gbk"):
    return (b"[Common]\r\nPurpose=long\r\nPopupFrequency=%d\r\n[NoAntiVirus]\r\nTitle=" % frequency +
            "长标题".encode(encoding) + b"\r\nMessage=" + message + b"\r\nID=long-1\r\n[GameScan]\r\ng1o=Copperwing\r\n")
open(sys.argv[1], "wb").write(ini(127 & ~(1 << today), msg))
open(sys.argv[2], "wb").write(ini(127, b"Found %s and %d"))
open(sys.argv[3], "wb").write(ini(127, "您的游戏%s".encode(), "utf-8"))
open(sys.argv[4], "wb").write(ini(0, "您的游戏%s".encode("gbk")))
PY
preview long "$work/long.ini" --desktop Copperwing
laid=$(sed -n 's/^  | //p' "$work/long.txt")
rows long <<'EOF2'
exits 3 after its warning|[ "$status" -eq 3 ]
renders whatever the weekday|grep -q '^balloon   shown' "$work/long.txt"
notes the weekday|grep -q '^note      a real check today would stop at "weekday": today is not allowed by PopupFrequency' "$work/long.txt"
warns with the cut|grep -q 'warning: the message is 318 bytes; a tray balloon holds 255, so it is cut to: ' "$work/long.txt"
marks the cut|grep -q '^cut       the message ends at "...您的游戏账号"; the last 64 of its 318 bytes never show' "$work/long.txt"
says it wraps the lines itself|grep -q "^layout    the text is wrapped at .* (Wine's balloon does not wrap)" "$work/long.txt"
lays out every kept character|[ "$(printf %s "$laid" | tr -d '\r\n')" = "$(python3 -c 'print(("您的游戏账号需要保护，" * 14)[:127])')" ]
in several lines|[ "$(printf '%s\n' "$laid" | wc -l)" -ge 3 ]
EOF2
preview mask0 "$work/mask0.ini"
rows mask0 <<'EOF2'
exits 4: it never shows|[ "$status" -eq 4 ]
says so, not that today is the problem|grep -q '^never     the campaign never shows on any day: "weekday": PopupFrequency allows no weekday (PopupFrequency=0 (no day) today=[A-Za-z]*); fix: set \[Common\] PopupFrequency' "$work/mask0.txt" && ! grep -q '^note ' "$work/mask0.txt"
renders it anyway|grep -q '^balloon   shown' "$work/mask0.txt" && [ -s "$work/mask0.png" ]
the desktop named after the first pattern|grep -q '^desktop   Copperwing.lnk (no --desktop given' "$work/mask0.txt"
EOF2
preview utf8 "$work/utf8.ini" --desktop Copperwing
preview refused "$work/refused.ini" --desktop Copperwing
printf 'no campaign here\r\n' >"$work/garbage.dat"
preview garbage "$work/garbage.dat" --desktop Copperwing
rows causes <<'EOF2'
UTF-8 warned about, as check does|[ "$(rc utf8)" -eq 3 ] && grep -qE "looks like UTF-8.*convert it: (QUENTRA_BUILD=[^ ]* )?tools/quentra-campaign convert $work/utf8.ini campaign-gbk.ini" "$work/utf8.txt"
UTF-8 rendered as converted|grep -q '^message   您的游戏Copperwing$' "$work/utf8.txt"
refused Message: never shows, quoted where|[ "$(rc refused)" -eq 4 ] && grep -q 'cannot render: Message template refused .*(gate "message template": Message has a conversion other than %s or %%: "%d" at byte 13)' "$work/refused.txt"
undecodable .dat named|[ "$(rc garbage)" -eq 1 ] && grep -q 'garbage.dat does not decode to a campaign' "$work/garbage.txt"
EOF2
echo "preview: 6 previews passed"
