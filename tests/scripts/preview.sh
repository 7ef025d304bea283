#!/usr/bin/env bash
# The balloon preview: the sample campaign renders a PNG with the balloon,
# which differs from a render of the same desktop without it; an over-long
# message is warned about with its cut shown, laid out in lines so that all
# the balloon holds is in the picture, and makes the preview exit 3.
set -euo pipefail
src=${QUENTRA_SOURCE:?}; export QUENTRA_BUILD=${QUENTRA_BUILD:?}
work=$(mktemp -d); trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

campaign=$src/examples/quentracfg.ini
[ -f "$campaign" ] || fail "no sample campaign at $campaign"
"$src/tools/quentra-host" preview "$campaign" --desktop "Copperwing.lnk" --png "$work/with.png" >"$work/with.txt"
"$src/tools/quentra-host" preview "$campaign" --desktop "Copperwing.lnk" --png "$work/without.png" --no-balloon >/dev/null
[ -s "$work/with.png" ] || fail "no PNG written"
colours=$(identify -format '%k' "$work/with.png")
[ "$colours" -gt 8 ] || fail "the render is blank ($colours colours)"
differing=$(compare -metric AE "$work/with.png" "$work/without.png" null: 2>&1 || true)
[ "${differing%%.*}" -gt 2000 ] || fail "the balloon changed only $differing pixels"
grep -q '^balloon   shown' "$work/with.txt" || fail "the preview did not show the balloon"
echo "ok: balloon render, $colours colours, $differing pixels differ from the render without it"

# A message of 300 bytes: the ANSI balloon text holds 255.
python3 - "$work/long.ini" <<'PY'
import sys
msg = ("您的游戏账号需要保护，" * 14 + "%s").encode("gbk")
ini = b"[Common]\r\nPurpose=long\r\nPopupFrequency=127\r\n[NoAntiVirus]\r\nTitle=" + "长标题".encode("gbk") + \
      b"\r\nMessage=" + msg + b"\r\nID=long-1\r\n[GameScan]\r\ng1o=Copperwing\r\n"
open(sys.argv[1], "wb").write(ini)
PY
status=0
"$src/tools/quentra-host" preview "$work/long.ini" --desktop "Copperwing.lnk" --png "$work/long.png" >"$work/long.txt" || status=$?
laid=$(sed -n 's/^  | //p' "$work/long.txt")
while IFS='|' read -r what check; do eval "$check" || { cat "$work/long.txt"; fail "long message: $what"; }; done <<'EOF'
exits 3 after its warning|[ "$status" -eq 3 ]
warns with the cut|grep -q 'warning: the message is 318 bytes; a tray balloon holds 255, so it is cut to: ' "$work/long.txt"
says it wraps the lines itself|grep -q "^layout    the text is wrapped at .* (Wine's balloon does not wrap)" "$work/long.txt"
lays out every kept character|[ "$(printf %s "$laid" | tr -d '\r\n')" = "$(python3 -c 'print(("您的游戏账号需要保护，" * 14)[:127])')" ]
in several lines|[ "$(printf '%s\n' "$laid" | wc -l)" -ge 3 ]
EOF
echo "ok: over-long message warned about, laid out whole in lines, exit 3"
echo "preview: 2 passed, 0 failed"
