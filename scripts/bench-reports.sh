#!/usr/bin/env bash
# Figures of the report receiver on this machine, written into
# docs/performance.md between the markers <!-- reports:begin --> and
# <!-- reports:end --> (appended at the end when absent; nothing else of the
# file changes). Every throughput is set against the floor of the same run
# (the same server with --bench-floor, answering 200 without storing):
#
# - SQLite: stored reports per second with 16 concurrent clients on
#   loopback, a new connection per report as the plug-in makes, none lost
#   (rows equal to acknowledged), p50 and p99 latency;
# - PostgreSQL (a server of the script's own, Debian's initdb and pg_ctl in a
#   folder under build/): the same;
# - two receivers on one PostgreSQL database, one killed with SIGKILL under
#   load: every acknowledged report stored once;
# - the SQLite server's resident memory over REPORTS_BENCH_MILLION reports and
#   the database's size per million;
# - summary.json for a 30-day range over REPORTS_BENCH_BIG (10,000,000)
#   reports on each back end, the database generated directly in SQL and its
#   rollups built by the migration that adds them (both timed).
#
# Takes about fifteen minutes; run it under flock /tmp/quentra-heavy.lock on
# a shared machine. REPORTS_BENCH_REQUESTS, REPORTS_BENCH_MILLION and
# REPORTS_BENCH_BIG make it shorter for a try (the figures are then not the
# page's).
#
# To compare two builds in one session: REPORTS_BENCH_BASELINE=BIN runs the
# SQLite and PostgreSQL intake again with that quentra-reports right after
# this build's, REPORTS_BENCH_ROUNDS times (default 1), each against the one
# floor, and the page's table has a row for each;
# REPORTS_BENCH_INTAKE_ONLY=1 stops after the intake runs and leaves
# docs/performance.md as it is.
set -euo pipefail
. "$(dirname "$0")/lib.sh"
repo=$quentra_repo
cd "$repo"
requests=${REPORTS_BENCH_REQUESTS:-50000}
million=${REPORTS_BENCH_MILLION:-300000}
big=${REPORTS_BENCH_BIG:-10000000}
clients=16

quentra_build reports quentra-reports quentra-reports-load
bin=$repo/build/reports/reports/quentra-reports
load=$repo/build/reports/reports/quentra-reports-load
work=$repo/build/reports/bench
pg_dir=$work/pg
quentra_postgres_stop  # one a run before left
rm -rf "$work"
mkdir -p "$work"

server_pids=()
stop_servers() {
  for pid in "${server_pids[@]}"; do kill -TERM "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; done
  server_pids=()
}
stop_all() {
  stop_servers
  quentra_postgres_stop
}
trap stop_all EXIT

start_server() {  # start_server NAME ARGS...: sets server_pid and port
  quentra_receiver "$bin" "$work/$1.out" --listen 127.0.0.1:0 "${@:2}"
  server_pid=$receiver_pid port=$receiver_port; server_pids+=("$receiver_pid")
}

field() { sed -n "s/.* $1 \([0-9.]*\).*/\1/p" <<<" $2"; }
rows() { sqlite3 "$1" "SELECT COUNT(*) FROM reports"; }
rss_kib() { awk '/^VmRSS:/ {print $2}' "/proc/$server_pid/status"; }

# A PostgreSQL server of our own: a Unix socket in its folder, no TCP.
quentra_postgres "$work/pg"

echo "== floor: --bench-floor, $requests reports from $clients clients"
start_server floor --bench-floor
floor=$("$load" --port "$port" --clients "$clients" --requests "$requests" --prefix floor)
echo "   $floor"
stop_servers

ratio() { python3 -c "import sys; print('%.2f' % (float(sys.argv[1]) / float(sys.argv[2])))" "$(field rate "$1")" "$(field rate "$floor")"; }

# live_campaign DB: the ledger of DB gets a campaign live from 2020 on, so
# that every report of the run is a campaign's (and each a new machine).
live_campaign() {
  "$bin" import --db "$1" /dev/null >/dev/null
  "$bin" campaign add --id live --from 2020-01-01T00:00Z --max-popups 3 --db "$1" >/dev/null
}
# sqlite_run NAME [live]: this build's (or $bin's) stored intake into SQLite,
# with `live` a campaign live; sets run.
sqlite_run() {
  [ -z "${2:-}" ] || live_campaign "$work/$1.db"
  start_server "$1" --db "$work/$1.db"
  run=$("$load" --port "$port" --clients "$clients" --requests "$requests" --prefix "$1")
  stop_servers
  local n; n=$(rows "$work/$1.db")
  [ "$n" = "$(field acked "$run")" ] || { echo "bench-reports: SQLite $1: $run, $n stored" >&2; exit 1; }
  echo "   $1: $run, $(ratio "$run") of the floor"
}
# pg_run NAME [live]: the same into a new PostgreSQL database NAME.
pg_run() {
  local db; db=$(pgdb "$1")
  [ -z "${2:-}" ] || live_campaign "$db"
  start_server "$1" --db "$db"
  run=$("$load" --port "$port" --clients "$clients" --requests "$requests" --prefix "$1")
  stop_servers
  local n; n=$(psql_ -d "$1" -c "SELECT count(*) FROM reports")
  [ "$n" = "$(field acked "$run")" ] || { echo "bench-reports: PostgreSQL $1: $run, $n stored" >&2; exit 1; }
  echo "   $1: $run, $(ratio "$run") of the floor"
}

rounds=${REPORTS_BENCH_ROUNDS:-1}
baseline=${REPORTS_BENCH_BASELINE:-}
# rounds_of RUN ENGINE: RUN (sqlite_run or pg_run) REPORTS_BENCH_ROUNDS
# times, each followed by the same with a campaign live and then by the
# baseline build; each run's figures go to the page's table as
# "ENGINE|round|line[|live or baseline]".
intake_rows=()
rounds_of() {
  local round this
  for round in $(seq "$rounds"); do
    "$1" "$2_stored$round"; intake_rows+=("$2|$round|$run")
    "$1" "$2_live$round" live; intake_rows+=("$2|$round|$run|live")
    [ -z "$baseline" ] || { this=$bin; bin=$baseline; "$1" "$2_baseline$round"; bin=$this; intake_rows+=("$2|$round|$run|baseline"); }
  done
}
echo "== SQLite stored: $requests reports from $clients clients, then with a campaign live${baseline:+, then the baseline $baseline}"
rounds_of sqlite_run sqlite
echo "== PostgreSQL stored: $requests reports from $clients clients, then with a campaign live${baseline:+, then the baseline}"
rounds_of pg_run pg
[ -n "${REPORTS_BENCH_INTAKE_ONLY:-}" ] && exit 0

echo "== two receivers on one PostgreSQL database, the first killed with SIGKILL under load"
pg=$(pgdb twokill)
start_server rx1 --db "$pg"; pid1=$server_pid; port1=$port
start_server rx2 --db "$pg"; port2=$port
"$load" --port "$port1" --clients 8 --requests 100000000 --prefix rx1 --acked "$work/acked1" --stop-on-error >"$work/load1" &
load1=$!
"$load" --port "$port2" --clients 8 --requests 100000000 --prefix rx2 --acked "$work/acked2" --stop-on-error >"$work/load2" &
load2=$!
sleep 5
kill -KILL "$pid1"
wait "$load1" || true
sleep 3
stop_servers
wait "$load2" || true
psql_ -d twokill -c "SELECT convert_from(machine, 'UTF8') FROM reports" >"$work/stored-ids"
twokill=$(python3 - "$work" <<'PY'
import collections, sys
w = sys.argv[1]
stored = collections.Counter(open(w + "/stored-ids").read().split())
acked = open(w + "/acked1").read().split() + open(w + "/acked2").read().split()
lost = [a for a in acked if stored[a] != 1]
twice = [s for s, n in stored.items() if n > 1]
print("acked %d stored %d lost %d twice %d unacked %d rx1 %d rx2 %d" % (
    len(acked), sum(stored.values()), len(lost), len(twice), sum(stored.values()) - len(acked),
    len(open(w + "/acked1").read().split()), len(open(w + "/acked2").read().split())))
PY
)
echo "   $twokill"
[ "$(field lost "$twokill")" = 0 ] && [ "$(field twice "$twokill")" = 0 ] || { echo "bench-reports: two receivers: $twokill" >&2; exit 1; }
twokill_load2=$(cat "$work/load2")

echo "== $million reports into SQLite, memory sampled every $((million / 10))"
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
stop_servers
sqlite3 "$work/million.db" "PRAGMA wal_checkpoint(TRUNCATE);" >/dev/null
million_rows=$(rows "$work/million.db")
[ "$million_rows" = "$million_acked" ] || { echo "bench-reports: $million_acked acknowledged, $million_rows stored" >&2; exit 1; }
db_bytes=$(stat -c %s "$work/million.db")

# $big reports over the 30 days from 2026-01-01, one in ten an install, from
# 2,000,000 machines, made directly in SQL; then the database is set back to
# the schema before the rollups, and `import` of an empty log migrates it,
# which builds the rollups. Timed: the SQL, the migration, summary.json.
first=1767225600  # 2026-01-01T00:00:00Z
range="from=2026-01-01&to=2026-01-30"
echo "== $big reports made in SQL: SQLite"
: >"$work/empty.log"
"$bin" import --db "$work/big.db" "$work/empty.log" >/dev/null
sqlite_sql_s=$( { /usr/bin/time -f %e sqlite3 "$work/big.db" "DROP TABLE hourly; PRAGMA user_version = 1;
  WITH RECURSIVE n(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM n WHERE i + 1 < $big)
  INSERT INTO reports(at, kind, machine, client)
  SELECT $first + i * 2592000 / $big, i % 10 = 0, CAST('m' || (abs(random()) % 2000000) AS BLOB), '10.0.0.1' FROM n;
  PRAGMA wal_checkpoint(TRUNCATE);" >/dev/null; } 2>&1 | tail -1)
sqlite_migrate_s=$( { /usr/bin/time -f %e "$bin" import --db "$work/big.db" "$work/empty.log" >/dev/null; } 2>&1 | tail -1)
sqlite_big_bytes=$(stat -c %s "$work/big.db")
start_server bigsqlite --db "$work/big.db"
sqlite_summary_ms=$(quentra_median_ms "http://127.0.0.1:$port/summary.json?$range")
sqlite_total=$(curl -s "http://127.0.0.1:$port/summary.json?$range" | python3 -c "import json,sys; print(json.load(sys.stdin)['total'])")
stop_servers
echo "   SQL ${sqlite_sql_s}s, migration ${sqlite_migrate_s}s, ${sqlite_big_bytes} bytes, summary.json ${sqlite_summary_ms} ms: $sqlite_total"

echo "== $big reports made in SQL: PostgreSQL"
pg=$(pgdb big)
"$bin" import --db "$pg" "$work/empty.log" >/dev/null
pg_sql_s=$( { /usr/bin/time -f %e "${as_pg[@]}" psql -h "$work/pg" -U postgres -d big -qAt -c "
  DROP TABLE hourly; UPDATE quentra_schema SET version = 1;
  INSERT INTO reports(at, kind, machine, client)
  SELECT $first + i * 2592000 / $big, (i % 10 = 0)::int, convert_to('m' || floor(random() * 2000000)::bigint, 'UTF8'), '10.0.0.1'
  FROM generate_series(0::bigint, $big - 1) AS i;" -c "VACUUM ANALYZE reports" >/dev/null; } 2>&1 | tail -1)
pg_migrate_s=$( { /usr/bin/time -f %e "$bin" import --db "$pg" "$work/empty.log" >/dev/null; } 2>&1 | tail -1)
pg_big_bytes=$(psql_ -d big -c "SELECT pg_database_size('big')")
start_server bigpg --db "$pg"
pg_summary_ms=$(quentra_median_ms "http://127.0.0.1:$port/summary.json?$range")
pg_total=$(curl -s "http://127.0.0.1:$port/summary.json?$range" | python3 -c "import json,sys; print(json.load(sys.stdin)['total'])")
stop_servers
echo "   SQL ${pg_sql_s}s, migration ${pg_migrate_s}s, ${pg_big_bytes} bytes, summary.json ${pg_summary_ms} ms: $pg_total"

# The baseline named by its checkout's commit when it has one.
[ -z "$baseline" ] || baseline="the build of $(git -C "$(dirname "$baseline")" rev-parse --short HEAD 2>/dev/null || echo "$baseline")"
section=$(INTAKE_ROWS=$(printf '%s\n' "${intake_rows[@]}") BASELINE=$baseline ROUNDS=$rounds python3 - "$floor" "$twokill" "$twokill_load2" "$million" "$million_rows" "$million_seconds" \
  "$rss_start" "$db_bytes" "$clients" "$big" "$sqlite_sql_s" "$sqlite_migrate_s" "$sqlite_big_bytes" \
  "$sqlite_summary_ms" "$pg_sql_s" "$pg_migrate_s" "$pg_big_bytes" "$pg_summary_ms" "$sqlite_total" "$pg_total" \
  "$("${as_pg[@]}" "$pgbin/postgres" --version)" "${rss_samples[@]}" <<'PY'
import os, re, subprocess, sys
(floor, twokill, load2, million, million_rows, million_seconds, rss_start, db_bytes, clients, big,
 s_sql, s_mig, s_bytes, s_ms, p_sql, p_mig, p_bytes, p_ms, s_total, p_total, pg_version) = sys.argv[1:22]
samples = [int(s) for s in sys.argv[22:]]
baseline, rounds = os.environ["BASELINE"], int(os.environ["ROUNDS"])
def f(line, key):
    return float(re.search(key + r" ([0-9.]+)", line).group(1))
intake = [l.split("|") for l in os.environ["INTAKE_ROWS"].splitlines()]
def rate(engine, kind):  # the rounds' rates of ENGINE's runs of KIND ("", "live") added up
    return sum(f(line, "rate") for e, r, line, *rest in intake if e == engine and (rest or [""])[0] == kind)
mib = lambda kib: kib / 1024
num = lambda n: "{:,}".format(int(float(n)))
cpu = subprocess.run(["sh", "-c", "grep -m1 'model name' /proc/cpuinfo | cut -d: -f2"], capture_output=True, text=True).stdout.strip()
row = lambda name, line, rows: "| %s | %d | %s | %.0f | %.2f | %.2f | %s |" % (
    name, f(line, "acked"), rows, f(line, "rate"), f(line, "p50_ms"), f(line, "p99_ms"),
    "-" if rows == "-" else "%.2f" % (f(line, "rate") / f(floor, "rate")))
print("\n".join([
    "## Report receiver",
    "",
    "`scripts/bench-reports.sh`: `quentra-reports serve` on 127.0.0.1, %s concurrent clients "
    "(`quentra-reports-load`), a new connection for every report as the plug-in makes, on this %d-core machine (%s). "
    "The floor is the same server with `--bench-floor`: it answers 200 "
    "without storing. Stored means committed, with its hour's rollups, before the 200: SQLite with "
    "synchronous=FULL, PostgreSQL (%s, a server of the script's own on a Unix socket, default settings) with "
    "synchronous_commit on." % (clients, os.cpu_count(), cpu, pg_version.replace("postgres (PostgreSQL) ", "")),
    "",
    "| run | reports acknowledged | stored rows | reports/s | p50 ms | p99 ms | ÷ floor |",
    "|---|---:|---:|---:|---:|---:|---:|",
    row("floor (`--bench-floor`)", floor, "-"),
] + [
    row({"sqlite": "SQLite", "pg": "PostgreSQL"}[engine] + (", round %s" % r if rounds > 1 else "") +
        {"": "", "live": ", a campaign live", "baseline": ", the baseline build"}[(rest or [""])[0]], line,
        str(int(f(line, "acked"))))
    for engine, r, line, *rest in (l.split("|") for l in os.environ["INTAKE_ROWS"].splitlines())
] + [
    "",
    "With a campaign live (`campaign add --id live --from 2020-01-01T00:00Z` before the run, so that each report "
    "changes a machine's state and the campaign's counts in its transaction; every report of the load a new "
    "machine): " + "; ".join(
        "%s %.0f reports/s against %.0f without, **%.2f** of the rate without" % (
            name, rate(engine, "live"), rate(engine, ""), rate(engine, "live") / rate(engine, ""))
        for engine, name in (("sqlite", "SQLite"), ("pg", "PostgreSQL"))) +
    (" (the rounds' rates added up)." if rounds > 1 else "."),
    "",
    "None lost: stored rows equal acknowledged reports in each run." +
    (" The baseline (`REPORTS_BENCH_BASELINE`, %s) ran right after this build in each round, against the "
     "same floor." % baseline if baseline else ""),
    "",
    "Two receivers on one PostgreSQL database, 8 clients each, the first killed with SIGKILL after 5 s: "
    "%s reports acknowledged (%s by the killed one), every one stored exactly once, %s stored but never "
    "acknowledged (in flight when it died); the survivor went on at %.0f reports/s over its whole run."
    % (num(f(twokill, "acked")), num(f(twokill, "rx1")), num(f(twokill, "unacked")), f(load2, "rate")),
    "",
    "Over %s reports into SQLite (%s rows stored, none lost, %.0f reports/s on average), the server's resident "
    "memory: %.1f MiB at the start, then every %s reports: %s MiB. Database size: %.1f MB per million reports "
    "(%s bytes after a checkpoint)."
    % (num(million), num(million_rows), int(million_rows) / float(million_seconds), mib(int(rss_start)),
       num(int(million) // 10), ", ".join("%.1f" % mib(s) for s in samples),
       int(db_bytes) / int(million_rows), num(db_bytes)),
    "",
    "`summary.json` for a 30-day range over %s reports (one in ten an install, 2,000,000 machines), the median "
    "of 5 requests; the database made directly in SQL, then its rollups built by the migration that adds them:"
    % num(big),
    "",
    "| back end | summary.json | making the rows in SQL | building the rollups | database size |",
    "|---|---:|---:|---:|---:|",
    "| SQLite | **%s ms** | %s s | %s s | %.2f GB |" % (s_ms, s_sql, s_mig, int(s_bytes) / 1e9),
    "| PostgreSQL | **%s ms** | %s s | %s s | %.2f GB |" % (p_ms, p_sql, p_mig, int(p_bytes) / 1e9),
    "",
    "The range's totals (machines estimated from the hourly sketches; 2,000,000 drawn at random of which about "
    "%s appear): SQLite %s; PostgreSQL %s." % ("{:,}".format(int(2000000 * (1 - (1 - 1 / 2e6) ** (int(big) * 0.9)))), s_total, p_total),
]))
PY
)
quentra_page_section reports "$section"
echo "$section"
