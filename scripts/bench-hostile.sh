#!/usr/bin/env bash
# bench-hostile.sh : what hostile input costs the host, under Wine, written
# into the "Bounded under hostile input" section of docs/performance.md
# (between its markers; scripts/bench.sh keeps the section). Not a test.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/bootstrap.sh
cmake --preset win64 >/dev/null && cmake --build --preset win64 --target quentra-bounded >/dev/null
build=$PWD/build/win64
export QUENTRA_BUILD=$build
tools/wine/qwineserver start
trap 'QUENTRA_BUILD=$build tools/wine/qwineserver stop' EXIT
run() { (cd "$build/bin" && ../../../tools/wine/qwine ./quentra-bounded.exe "$@") | tr -d '\r' | tee /dev/stderr; }

campaigns=""
for bytes in 1024 1048576 67108864 268435456; do
  line=$(run campaign "$bytes")
  campaigns+=$(sed -E 's/^bounded: campaign ([0-9]+) bytes: TCCheck ([01]) in ([0-9.]+) ms, peak working set ([0-9.]+) MiB \(([0-9.]+) MiB before\), decoded copy (.*)$/| \1 | \2 | \3 ms | \4 MiB (\5 before) | \6 |/' <<<"$line")$'\n'
done
reports=""
for mode in blackhole drip flood loop; do
  line=$(run report "$mode")
  reports+=$(sed -E 's/^bounded: report to a ([a-z]+) server: TCCheck ([01]), DLL unmapped ([0-9.]+) s after FreeLibrary, largest new file in %TEMP% ([0-9]+) bytes$/| \1 | \3 s | \4 bytes |/' <<<"$line")$'\n'
done

section=$(cat <<MD
<!-- hostile:begin -->
## Bounded under hostile input

Measured by \`scripts/bench-hostile.sh\` on $(date -u +%Y-%m-%d) (the 64-bit twin under Wine; each row a fresh
process of \`quentra-bounded\`, after one warm-up check).

A campaign file above 1 MiB is refused before a byte of it is read, and no decoded copy is written
("decoded copy" tells whether one appeared in %TEMP% while the check ran). The peak working set is
the whole process's; the figure before it is its peak before the check.

| campaign file, bytes | TCCheck | time | peak working set | decoded copy |
|---:|---:|---:|---:|---|
${campaigns}
A report to a server that never answers (blackhole), that drips its answer's head one byte every
5 s from the first byte of the status line on (drip), that sends a 300 MiB answer as fast as it is
read (flood), or that redirects every request back to itself (loop: followed five times, then the
report ends): the time from
\`TCDestory\` and \`FreeLibrary\` until the DLL is unmapped (bound: 35 s), and the largest file the
run left in %TEMP% (bound: 64 KiB; the answer is read into memory and dropped).

| server | DLL unmapped after | largest new file |
|---|---:|---:|
${reports}
<!-- hostile:end -->
MD
)
python3 - "$section" <<'PY'
import re, sys
path = "docs/performance.md"
text = open(path).read()
section = sys.argv[1].strip() + "\n"
if "<!-- hostile:begin -->" in text:
    text = re.sub(r"<!-- hostile:begin -->.*?<!-- hostile:end -->\n?", lambda m: section, text, flags=re.S)
else:
    text = text.rstrip("\n") + "\n\n" + section
open(path, "w").write(text)
PY
echo "wrote the hostile-input section of docs/performance.md"
