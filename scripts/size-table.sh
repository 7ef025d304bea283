#!/usr/bin/env bash
# Rewrites the "Size and imports" table of docs/performance.md from the DLLs
# built in build/win32 and build/win64 (both must be built), so the page
# describes the DLL it ships with; the package test compares the two.
set -euo pipefail
cd "$(dirname "$0")/.."
for tree in win32 win64; do
  [ -f build/$tree/bin/Quentra.dll ] || { echo "size-table: build/$tree/bin/Quentra.dll is missing: build it first (cmake --build --preset $tree)" >&2; exit 1; }
done
size() { stat -c %s "$1"; }
imports() { "$1"-objdump -p "$2" | awk '/DLL Name:/ {print $3}' | sort | paste -sd, - | sed 's/,/, /g'; }
table=$(printf '| DLL | bytes | imports |\n|---|---:|---|\n| Quentra.dll, 32-bit product | %s | %s |\n| Quentra.dll, 64-bit twin | %s | %s |\n' \
  "$(size build/win32/bin/Quentra.dll)" "$(imports i686-w64-mingw32 build/win32/bin/Quentra.dll)" \
  "$(size build/win64/bin/Quentra.dll)" "$(imports x86_64-w64-mingw32 build/win64/bin/Quentra.dll)")
python3 - docs/performance.md "$table" <<'PY'
import re, sys
path, table = sys.argv[1], sys.argv[2]
text = open(path).read()
new, n = re.subn(r"\| DLL \| bytes \| imports \|\n(?:\|.*\|\n)+", table + "\n", text, count=1)
if n != 1:
    sys.exit("size-table: docs/performance.md has no size and imports table to rewrite")
open(path, "w").write(new)
PY
