#!/usr/bin/env bash
# bench-hostile.sh : what hostile input costs the host, under Wine, written
# into the "Bounded under hostile input" section of docs/performance.md
# (between its markers; scripts/bench.sh keeps the section). Not a test.
set -euo pipefail
. "$(dirname "$0")/lib.sh"
quentra_twin quentra-bounded
quentra_loopback=private quentra_wine_session

campaigns=""
for bytes in 1024 1048576 67108864 268435456; do
  line=$(quentra_run quentra-bounded.exe campaign "$bytes" | tee /dev/stderr)
  campaigns+=$(sed -E 's/^bounded: campaign ([0-9]+) bytes: TCCheck ([01]) in ([0-9.]+) ms, peak working set ([0-9.]+) MiB \(([0-9.]+) MiB before\), decoded copy (.*)$/| \1 | \2 | \3 ms | \4 MiB (\5 before) | \6 |/' <<<"$line")$'\n'
done
reports=""
for mode in blackhole drip dripbody flood loop; do
  line=$(quentra_run quentra-bounded.exe report "$mode" | tee /dev/stderr)
  reports+=$(sed -E 's/^bounded: report to a ([a-z]+) server: TCCheck ([01]), DLL unmapped ([0-9.]+) s after FreeLibrary, largest new file in %TEMP% ([0-9]+) bytes$/| \1 | \3 s | \4 bytes |/' <<<"$line")$'\n'
done

quentra_page_section hostile "$(cat <<MD
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
5 s from the first byte of the status line on (drip), that sends a whole head and then drips the
body one byte every 5 s (dripbody), that sends a 300 MiB answer as fast as it is
read (flood), or that redirects every request back to itself (loop: followed five times, then the
report ends): the time from
\`TCDestory\` and \`FreeLibrary\` until the DLL is unmapped (bound: 35 s), and the largest file the
run left in %TEMP% (bound: 64 KiB; the answer is read into memory and dropped).

| server | DLL unmapped after | largest new file |
|---|---:|---:|
${reports}
MD
)"
echo "wrote the hostile-input section of docs/performance.md"
