#!/usr/bin/env bash
# host_guide_example.sh CC CXX SOURCE_DIR
# Every ```c block of docs/host-integration.md, exactly as a host team would
# copy it, compiles as C and as C++ with -Wall -Wextra -Werror against the
# shipped header. Each block is one translation unit of its own. The block
# that defines the example's CopyBalloonText is then built natively, with a
# stub <windows.h> whose IsDBCSLeadByte is code page 936's, and run on a title
# that a cut at 63 bytes would split inside a character.
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
helper=$(grep -l '^void CopyBalloonText(char\* out, size_t size, const char\* text)$' "${blocks[@]}" | head -n 1)
mkdir "$work/stub"
cat >"$work/stub/windows.h" <<'EOF'
typedef unsigned char BYTE;
static int IsDBCSLeadByte(BYTE b) { return b >= 0x81 && b <= 0xFE; } /* code page 936 */
EOF
cat >"$work/cut.c" <<'EOF'
#include <stdio.h>
#include <string.h>
void CopyBalloonText(char* out, size_t size, const char* text);
int main(void)
{
    char title[80] = "", field[64 + 8];
    int i, bad = 0;
    for (i = 0; i < 32; ++i) strcat(title, "\xB3\xA4"); /* 32 of the character 长: 64 bytes */
    memset(field, 0xCC, sizeof field);
    CopyBalloonText(field, 64, title);
    /* 63 bytes would end in the lead byte of the 32nd character: 62 are kept. */
    bad |= strlen(field) != 62 || memcmp(field, title, 62) != 0;
    for (i = 63; i < (int)sizeof field; ++i) bad |= (unsigned char)field[i] != 0xCC;
    CopyBalloonText(field, 64, "short");
    bad |= strcmp(field, "short") != 0;
    puts(bad ? "FAIL  CopyBalloonText on a title that a byte cut would split"
             : "ok    CopyBalloonText cuts on a character boundary");
    return bad;
}
EOF
if [ -z "$helper" ]; then
  failed=1; echo "FAIL  no block defines CopyBalloonText"
elif ! cc -Wall -Wextra -Werror -I"$work/stub" "$helper" "$work/cut.c" -o "$work/cut" || ! "$work/cut"; then
  failed=1
fi
exit $failed
