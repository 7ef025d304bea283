#!/usr/bin/env bash
# host_guide_example.sh CC CXX SOURCE_DIR
# Every ```c block of docs/host-integration.md, exactly as a host team would
# copy it, compiles as C and as C++ with -Wall -Wextra -Werror against the
# shipped header. Each block is one translation unit of its own.
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
exit $failed
