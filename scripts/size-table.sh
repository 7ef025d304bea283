#!/usr/bin/env bash
# size-table.sh [--add COMMIT CHANGE]
# Rewrites the "Size and imports" part of docs/performance.md: the table of
# the DLLs built in build/win32 and build/win64 (both must be built), so the
# page describes the DLL it ships with (the package test compares the two),
# and the table of what each change did to the 32-bit product's size, from
# docs/size-history.tsv.
#
# --add COMMIT CHANGE first builds the 32-bit DLL of COMMIT on its own (its
# files from git, in a scratch folder under build/), and adds a row to
# docs/size-history.tsv: the commit, the DLL's bytes, and CHANGE, what the
# commit changed. A row's saving is its size against the row before it.
set -euo pipefail
. "$(dirname "$0")/lib.sh"
cd "$quentra_repo"
history=docs/size-history.tsv
usage() { echo "usage: scripts/size-table.sh [--add COMMIT CHANGE]" >&2; exit 2; }

if [ $# -gt 0 ]; then
  [ $# -eq 3 ] && [ "$1" = --add ] || usage
  commit=$(git rev-parse --verify --quiet "$2^{commit}") ||
    { echo "size-table: '$2' is not a commit of this repository" >&2; exit 2; }
  change=$3
  [[ $change != *$'\t'* && -n $change ]] || { echo "size-table: CHANGE must be a text without tabs" >&2; exit 2; }
  scratch=$quentra_repo/build/size-at-${commit:0:12}
  rm -rf "$scratch"; mkdir -p "$scratch/src"
  quentra_on_exit "rm -rf $(printf %q "$scratch")"
  git archive "$commit" | tar -x -C "$scratch/src"
  echo "size-table: building the 32-bit DLL of ${commit:0:12} in $scratch"
  (cd "$scratch/src" && cmake --preset win32 -B "$scratch/win32" -DQUENTRA_BUILD_TESTS=OFF >/dev/null &&
     cmake --build "$scratch/win32" --target Quentra >/dev/null) ||
    { echo "size-table: the 32-bit DLL of ${commit:0:12} did not build" >&2; exit 1; }
  bytes=$(stat -c %s "$scratch/win32/bin/Quentra.dll")
  printf '%s\t%s\t%s\n' "${commit:0:7}" "$bytes" "$change" >>"$history"
  echo "size-table: ${commit:0:7} $bytes bytes: $change"
fi

for tree in win32 win64; do
  [ -f build/$tree/bin/Quentra.dll ] || { echo "size-table: build/$tree/bin/Quentra.dll is missing: build it first (cmake --build --preset $tree)" >&2; exit 1; }
done
size() { stat -c %s "$1"; }
imports() { "$1"-objdump -p "$2" | awk '/DLL Name:/ {print $3}' | sort | paste -sd, - | sed 's/,/, /g'; }
table=$(printf '| DLL | bytes | imports |\n|---|---:|---|\n| Quentra.dll, 32-bit product | %s | %s |\n| Quentra.dll, 64-bit twin | %s | %s |\n' \
  "$(size build/win32/bin/Quentra.dll)" "$(imports i686-w64-mingw32 build/win32/bin/Quentra.dll)" \
  "$(size build/win64/bin/Quentra.dll)" "$(imports x86_64-w64-mingw32 build/win64/bin/Quentra.dll)")
python3 - docs/performance.md "$table" "$history" <<'PY'
import os, re, sys
path, table, history = sys.argv[1:]
rows = []
if os.path.exists(history):
    for n, line in enumerate(open(history, encoding="utf-8"), 1):
        if line.strip() and not line.startswith("#"):
            parts = line.rstrip("\n").split("\t")
            if len(parts) != 3 or not parts[1].isdigit():
                sys.exit("size-table: %s line %d is not COMMIT<tab>BYTES<tab>CHANGE" % (history, n))
            rows.append(parts)
block = table + "\n"
if rows:
    block += ("\nWhat each change did to the 32-bit product's size (`scripts/size-table.sh --add COMMIT CHANGE` "
              "builds the DLL of the commit and adds its row; a change's saving is against the row above):\n\n"
              "| change | commit | bytes | saved |\n|---|---|---:|---:|\n")
    before = None
    for commit, size, change in rows:
        saved = "" if before is None else "{:,}".format(before - int(size))
        block += "| %s | %s | %s | %s |\n" % (change, commit, "{:,}".format(int(size)), saved)
        before = int(size)
text = open(path).read()
# The current sizes' table, and the history table after it when there is one.
pattern = (r"\| DLL \| bytes \| imports \|\n(?:\|.*\|\n)+"
           r"(?:\nWhat each change did to the 32-bit product's size [^\n]*\n\n(?:\|.*\|\n)+)?")
new, n = re.subn(pattern, lambda m: block, text, count=1)
if n != 1:
    sys.exit("size-table: docs/performance.md has no size and imports table to rewrite")
open(path, "w").write(new)
PY
