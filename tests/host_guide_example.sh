#!/usr/bin/env bash
# host_guide_example.sh CC CXX SOURCE_DIR
# Every ```c block of docs/host-integration.md, exactly as a host team would
# copy it, compiles as C and as C++ with -Wall -Wextra -Werror against the
# shipped header. Each block is one translation unit of its own. Then, built
# natively on a stand-in of the Windows calls they make (tests/host_guide/):
# the call sequence plays a tray whose Shell sends its icon's balloon events,
# and must start the installer only on a click on the plug-in's balloon; and
# CopyBalloonText, with code page 936's lead bytes, must cut a title that a
# cut at 63 bytes would split inside a character, and leave a buffer of size
# 0 untouched.
set -uo pipefail
cc=$1 cxx=$2 src=$3
work=$(mktemp -d); trap 'rm -rf "$work"' EXIT
awk -v dir="$work" '/^```c$/ { n++; out = dir "/block" n ".c"; next }
                    /^```/ { out = ""; next }
                    out != "" { print > out }' "$src/docs/host-integration.md"
blocks=("$work"/block*.c)
[ -f "${blocks[0]}" ] || { echo "FAIL  no \`\`\`c block in docs/host-integration.md"; exit 1; }
failed=0
for block in "${blocks[@]}"; do
  for compiler in "$cc -x c" "$cxx -x c++"; do
    if $compiler -Wall -Wextra -Werror -I"$src/include" -c "$block" -o "$work/out.o" 2>"$work/errors"; then
      echo "ok    $(basename "$block") with ${compiler##*/}"
    else
      failed=1; echo "FAIL  $(basename "$block") with ${compiler##*/}:"; cat "$work/errors"
    fi
  done
done
# The blocks that define what the stand-in drives.
defining() { grep -l "$1" "${blocks[@]}" | head -n 1; }
sequence=$(defining '^void QuentraOnTrayIcon(QuentraPlugin\* q, LPARAM event)$')
helper=$(defining '^void CopyBalloonText(char\* out, size_t size, const char\* text)$')
[ -n "$sequence" ] || { failed=1; echo "FAIL  no block defines the call sequence (QuentraOnTrayIcon)"; }
[ -n "$helper" ] || { failed=1; echo "FAIL  no block defines CopyBalloonText"; }
stub=$src/tests/host_guide
if [ -n "$sequence" ] && [ -n "$helper" ]; then
  if cc -Wall -Wextra -Werror -I"$stub" -I"$src/include" "$sequence" "$helper" "$stub/play.c" -o "$work/play" 2>"$work/errors"; then
    "$work/play" || failed=1
  else
    failed=1; echo "FAIL  the guide's blocks do not build on the stand-in:"; cat "$work/errors"
  fi
fi
exit $failed
