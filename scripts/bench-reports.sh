#!/usr/bin/env bash
# Figures of the report receiver on this machine, written into
# docs/performance.md between the markers <!-- reports:begin --> and
# <!-- reports:end --> (appended at the end when absent; nothing else of the
# file changes):
#
# - throughput with 16 concurrent clients on loopback, a new connection per
#   report as the plug-in makes: stored reports per second with none lost
#   (rows equal to acknowledged), p50 and p99 latency, set against the floor
#   (the same server with --bench-floor, answering 200 without storing);
# - the server's resident memory over 1,000,000 reports, sampled every
#   100,000, and the database's size per million reports;
# - how long summary.json takes over the million.
#
# Takes about five minutes. REPORTS_BENCH_REQUESTS and REPORTS_BENCH_MILLION
# make it shorter for a try (the figures are then not the page's).
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD
requests=${REPORTS_BENCH_REQUESTS:-50000}
million=${REPORTS_BENCH_MILLION:-1000000}
clients=16

cmake --preset reports >/dev/null
cmake --build --preset reports --target quentra-reports quentra-reports-load >/dev/null
bin=$repo/build/reports/reports/quentra-reports
load=$repo/build/reports/reports/quentra-reports-load
work=$repo/build/reports/bench
rm -rf "$work"
mkdir -p "$work"

server_pid=""
stop_server() {
  if [ -n "$server_pid" ]; then
    kill -TERM "$server_pid" 2>/dev/null || true
    wait "$server_pid" 2>/dev/null || true
    server_pid=""
  fi
}
trap stop_server EXIT

start_server() {  # start_server NAME ARGS...: sets server_pid and port
  local name=$1; shift
  "$bin" serve --listen 127.0.0.1:0 "$@" >"$work/$name.out" 2>"$work/$name.err" &
  server_pid=$!
  port=""
  for _ in $(seq 100); do
    port=$(sed -n 's|.*http://127\.0\.0\.1:\([0-9]*\)/.*|\1|p' "$work/$name.out")
    [ -n "$port" ] && return 0
    sleep 0.1
  done
  echo "bench-reports: the server did not start:" >&2
  cat "$work/$name.err" >&2
  exit 1
}

field() { sed -n "s/.* $1 \([0-9.]*\).*/\1/p" <<<" $2"; }
rows() { sqlite3 "$1" "SELECT COUNT(*) FROM reports"; }
rss_kib() { awk '/^VmRSS:/ {print $2}' "/proc/$server_pid/status"; }

echo "== floor: --bench-floor, $requests reports from $clients clients"
start_server floor --bench-floor
floor=$("$load" --port "$port" --clients "$clients" --requests "$requests" --prefix floor)
echo "   $floor"
stop_server

echo "== stored: $requests reports from $clients clients"
start_server stored --db "$work/stored.db"
stored=$("$load" --port "$port" --clients "$clients" --requests "$requests" --prefix stored)
echo "   $stored"
stop_server
stored_rows=$(rows "$work/stored.db")
stored_acked=$(field acked "$stored")
[ "$stored_rows" = "$stored_acked" ] || { echo "bench-reports: $stored_acked acknowledged, $stored_rows stored" >&2; exit 1; }

echo "== $million reports, memory sampled every $((million / 10))"
start_server million --db "$work/million.db"
rss_start=$(rss_kib)
rss_samples=()
million_acked=0
million_seconds=0
for chunk in $(seq 0 9); do
  out=$("$load" --port "$port" --clients "$clients" --requests $((million / 10)) --prefix "c$chunk")
  million_acked=$((million_acked + $(field acked "$out")))
  million_seconds=$(python3 -c "print($million_seconds + $(field seconds "$out"))")
  rss_samples+=("$(rss_kib)")
  echo "   chunk $chunk: $out, RSS $(rss_kib) KiB"
done
summary_ms=$(curl -s -o /dev/null -w '%{time_total}' "http://127.0.0.1:$port/summary.json" |
  python3 -c "import sys; print(round(float(sys.stdin.read()) * 1000))")
stop_server
sqlite3 "$work/million.db" "PRAGMA wal_checkpoint(TRUNCATE);" >/dev/null
million_rows=$(rows "$work/million.db")
[ "$million_rows" = "$million_acked" ] || { echo "bench-reports: $million_acked acknowledged, $million_rows stored" >&2; exit 1; }
db_bytes=$(stat -c %s "$work/million.db")

python3 - "$floor" "$stored" "$stored_rows" "$million" "$million_rows" "$million_seconds" "$rss_start" \
  "$db_bytes" "$summary_ms" "$clients" "${rss_samples[@]}" <<'PY'
import re, subprocess, sys
floor, stored, stored_rows, million, million_rows, million_seconds, rss_start, db_bytes, summary_ms, clients = sys.argv[1:11]
samples = [int(s) for s in sys.argv[11:]]
def f(line, key):
    return float(re.search(key + r" ([0-9.]+)", line).group(1))
mib = lambda kib: kib / 1024
ratio = f(stored, "rate") / f(floor, "rate")
cpu = subprocess.run(["sh", "-c", "grep -m1 'model name' /proc/cpuinfo | cut -d: -f2"], capture_output=True, text=True).stdout.strip()
lines = [
    "<!-- reports:begin -->",
    "## Report receiver",
    "",
    "`scripts/bench-reports.sh`: `quentra-reports serve` on 127.0.0.1, %s concurrent clients "
    "(`quentra-reports-load`), a new connection for every report as the plug-in makes, on this %d-core machine (%s), "
    "shared with other builds while it ran. The floor is the same server with `--bench-floor`: it answers 200 "
    "without storing. Stored means committed with synchronous=FULL before the 200." % (clients, __import__("os").cpu_count(), cpu),
    "",
    "| run | reports acknowledged | stored rows | reports/s | p50 ms | p99 ms |",
    "|---|---:|---:|---:|---:|---:|",
    "| floor (`--bench-floor`) | %d | - | %.0f | %.2f | %.2f |" % (f(floor, "acked"), f(floor, "rate"), f(floor, "p50_ms"), f(floor, "p99_ms")),
    "| stored | %d | %s | %.0f | %.2f | %.2f |" % (f(stored, "acked"), stored_rows, f(stored, "rate"), f(stored, "p50_ms"), f(stored, "p99_ms")),
    "",
    "Stored ÷ floor: **%.2f**; none lost (rows equal to acknowledged reports)." % ratio,
    "",
    "Over %s reports (%s rows stored, none lost, %.0f reports/s on average), the server's resident memory: "
    "%.1f MiB at the start, then every %d reports: %s MiB. Database size: %.1f MB per million reports "
    "(%s bytes after a checkpoint). `summary.json` over the million (one day): %s ms."
    % ("{:,}".format(int(million)), "{:,}".format(int(million_rows)), int(million_rows) / float(million_seconds),
       mib(int(rss_start)), int(million) // 10, ", ".join("%.1f" % mib(s) for s in samples),
       int(db_bytes) / 1e6 * 1e6 / int(million_rows), "{:,}".format(int(db_bytes)), summary_ms),
    "<!-- reports:end -->",
]
section = "\n".join(lines) + "\n"
path = "docs/performance.md"
text = open(path, encoding="utf-8").read()
begin, end = "<!-- reports:begin -->", "<!-- reports:end -->"
if begin in text and end in text:
    text = text[:text.index(begin)] + section.rstrip("\n") + text[text.index(end) + len(end):]
else:
    text = text.rstrip("\n") + "\n\n" + section
open(path, "w", encoding="utf-8").write(text)
print(section)
PY
