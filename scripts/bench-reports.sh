#!/usr/bin/env bash
# Figures of the report receiver on this machine, written into
# docs/performance.md between the markers <!-- reports:begin --> and
# <!-- reports:end --> (appended at the end when absent; nothing else of the
# file changes).
#
# - The intake at 16, 256 and 1,000 concurrent clients, each client sending
#   from its own loopback address (127.1.x.y) and every report on a new
#   connection as a tray makes it. At each concurrency, one row of each kind,
#   all from the one load generator (quentra-reports-load):
#   - floor: the same server with --bench-floor, answering 200 without storing;
#   - SQLite: stored reports per second, p50 and p99 latency;
#   - PostgreSQL (a server of the script's own, Debian's initdb and pg_ctl in
#     a folder under build/): the same;
#   - SQLite and PostgreSQL again with a campaign live (in the ledger from
#     2020 on, so that each report changes a machine's state and the
#     campaign's counts in its transaction): what a live campaign costs;
#   - nginx: a peer an operator could pick instead (a web server logging the
#     reports, then `quentra-reports import` of its log), an instance of the
#     script's own (its config, prefix, pid file and a free port under
#     build/) answering 200 on /traycast.html with its access log on.
#   No report may be lost or refused in any row: stored rows (nginx: log
#   lines) must equal the 200s, and no answer may be other than 200; the
#   script fails, leaving the page as it is, when one is. Each stored rate is
#   set against the floor and nginx of its concurrency.
# - two receivers on one PostgreSQL database, one killed with SIGKILL under
#   load: every acknowledged report stored once;
# - the SQLite server's resident memory over REPORTS_BENCH_MILLION reports and
#   the database's size per million;
# - summary.json for a 30-day range over REPORTS_BENCH_BIG (10,000,000)
#   reports on each back end, the database generated directly in SQL and its
#   rollups built by the migration that adds them (both timed).
#
# Takes about twenty-five minutes on a quiet machine; run it under
# flock /tmp/quentra-heavy.lock on a shared machine. REPORTS_BENCH_REQUESTS (reports per row, default
# 50,000), REPORTS_BENCH_CLIENTS (the concurrencies, default "16 256 1000"),
# REPORTS_BENCH_MILLION and REPORTS_BENCH_BIG make it shorter for a try (the
# figures are then not the page's).
#
# What a live campaign costs is measured apart, in pairs of short runs: at
# each concurrency and back end, REPORTS_BENCH_PAIRS (default 61) pairs of
# REPORTS_BENCH_PAIR_REQUESTS reports (default 10,000), each pair a run into
# a new database without a campaign and one with one live, which of them
# first alternating; the cost is the median of the pairs' ratios, with the
# median's 95 % interval from their order and whether that interval is
# within the 10 % goal, beyond it, or holds it. One run's rate moves by up
# to 25 % from the next on this shared machine, more than the cost
# measured, and a pair's two runs share most of that: with 15 pairs the
# interval spans about 13 points here, with 61 about 5, narrow enough to
# tell a cost of 5 % from one of 10 %. The pairs take most of the run's
# time.
#
# To compare two builds in one session: REPORTS_BENCH_BASELINE=BIN runs the
# SQLite and PostgreSQL rows again with that quentra-reports right after
# this build's, REPORTS_BENCH_ROUNDS times (default 1), each against the one
# floor, and the page's table has a row for each;
# REPORTS_BENCH_INTAKE_ONLY=1 stops after the intake rows and leaves
# docs/performance.md as it is.
#
# A new kind of intake row is a function KIND_row CLIENTS [LABEL] that runs
# once and hands its figures to add_row, and a call in the loop over the
# concurrencies: the table shows it with no other change.
set -euo pipefail
. "$(dirname "$0")/lib.sh"
repo=$quentra_repo
cd "$repo"
requests=${REPORTS_BENCH_REQUESTS:-50000}
read -r -a concurrency <<<"${REPORTS_BENCH_CLIENTS:-16 256 1000}"
million=${REPORTS_BENCH_MILLION:-300000}
big=${REPORTS_BENCH_BIG:-10000000}
rounds=${REPORTS_BENCH_ROUNDS:-1}
pairs=${REPORTS_BENCH_PAIRS:-61}
pair_requests=${REPORTS_BENCH_PAIR_REQUESTS:-10000}
for setting in "REPORTS_BENCH_ROUNDS=$rounds" "REPORTS_BENCH_PAIRS=$pairs" "REPORTS_BENCH_PAIR_REQUESTS=$pair_requests"; do
  [[ ${setting#*=} =~ ^[1-9][0-9]*$ ]] ||
    { echo "bench-reports: $setting; give a whole number, 1 or more" >&2; exit 2; }
done
clients=16  # the memory run's

quentra_build reports quentra-reports quentra-reports-load
bin=$repo/build/reports/reports/quentra-reports
load=$repo/build/reports/reports/quentra-reports-load
work=$repo/build/reports/bench
nginx=$(command -v nginx || echo /usr/sbin/nginx)
pg_dir=$work/pg
quentra_postgres_stop  # one a run before left
rm -rf "$work"
mkdir -p "$work"

server_pids=()
stop_servers() {
  for pid in "${server_pids[@]}"; do kill -TERM "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; done
  server_pids=()
}
nginx_pid=
# A graceful stop: every request taken is answered and logged first.
stop_nginx() { [ -z "$nginx_pid" ] || { kill -QUIT "$nginx_pid" 2>/dev/null || true; wait "$nginx_pid" 2>/dev/null || true; }; nginx_pid=; }
stop_all() {
  stop_servers
  stop_nginx
  quentra_postgres_stop
}
trap stop_all EXIT

start_server() {  # start_server NAME ARGS...: sets server_pid and port
  quentra_receiver "$bin" "$work/$1.out" --listen 127.0.0.1:0 "${@:2}"
  server_pid=$receiver_pid port=$receiver_port; server_pids+=("$receiver_pid")
}

# start_nginx NAME: an nginx of the script's own in $work/NAME (its config,
# prefix, pid file and logs; never the system's service), on a free port of
# 127.0.0.1, in the foreground of this script: sets nginx_pid and port. It
# answers 200 on /traycast.html and logs every request (the combined format,
# written per request, never synced); its queue of connections not yet
# accepted is the receiver's, 4,096.
start_nginx() {
  local dir=$work/$1 try
  mkdir -p "$dir/tmp"
  for try in 1 2 3 4 5; do
    port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
    cat >"$dir/nginx.conf" <<CONF
worker_processes auto;
worker_rlimit_nofile 16384;
pid $dir/nginx.pid;
error_log $dir/error.log;
events { worker_connections 8192; }
http {
  access_log $dir/access.log;
  client_body_temp_path $dir/tmp/body;
  proxy_temp_path $dir/tmp/proxy;
  fastcgi_temp_path $dir/tmp/fastcgi;
  uwsgi_temp_path $dir/tmp/uwsgi;
  scgi_temp_path $dir/tmp/scgi;
  server {
    listen 127.0.0.1:$port backlog=4096;
    location = /traycast.html { return 200 "ok\n"; }
    location / { return 404; }
  }
}
CONF
    rm -f "$dir/nginx.pid"
    "$nginx" -p "$dir" -c "$dir/nginx.conf" -e "$dir/error.log" -g 'daemon off;' &
    nginx_pid=$!
    # The pid file is written once the port is bound; a port taken since it
    # was picked makes nginx give up, and another is picked.
    for _ in $(seq 100); do
      [ "$(cat "$dir/nginx.pid" 2>/dev/null)" != "$nginx_pid" ] || return 0
      kill -0 "$nginx_pid" 2>/dev/null && sleep 0.1 || break
    done
    stop_nginx
  done
  echo "bench-reports: nginx did not start in $dir: $(tail -n 3 "$dir/error.log")" >&2
  exit 1
}

field() { sed -n "s/.* $1 \([0-9.]*\).*/\1/p" <<<" $2"; }
rows() { sqlite3 "$1" "SELECT COUNT(*) FROM reports"; }
rss_kib() { awk '/^VmRSS:/ {print $2}' "/proc/$server_pid/status"; }
loadavg() { cut -d' ' -f1 /proc/loadavg; }
# load_run PORT CLIENTS REPORTS PREFIX: the load generator's line, every
# client sending from its own loopback address as a fleet's machines do.
load_run() { "$load" --port "$1" --clients "$2" --requests "$3" --addresses-from 127.1.0.1 --prefix "$4"; }

# A PostgreSQL server of our own: a Unix socket in its folder, no TCP.
quentra_postgres "$pg_dir"

# The intake table's rows, "KIND|CLIENTS|LABEL|STORED|LOAD|LINE": STORED is
# what the back end holds afterwards (rows, log lines; - for the floor),
# LOAD the load average as the row began, LINE the load generator's.
intake_rows=()
problems=()
add_row() {  # add_row KIND CLIENTS LABEL STORED LOAD LINE
  intake_rows+=("$1|$2|$3|$4|$5|$6")
  local stored=; [ "$4" = - ] || stored=", $4 stored"
  echo "   $3: $6$stored; load average $5"
  [ "$(field failed "$6")" = 0 ] || problems+=("$3, $2 clients: $(field failed "$6") reports not answered 200: $6")
  [ "$4" = - ] || [ "$4" = "$(field acked "$6")" ] ||
    problems+=("$3, $2 clients: $(field acked "$6") reports acknowledged, $4 stored")
}
run_no=0
floor_row() {  # floor_row CLIENTS: the same server answering without storing
  local name=floor$1_$((++run_no)) at line
  at=$(loadavg)
  start_server "$name" --bench-floor
  line=$(load_run "$port" "$1" "$requests" "$name")
  stop_servers
  add_row floor "$1" "floor (\`--bench-floor\`)" - "$at" "$line"
}
# live_campaign DB: the ledger of DB gets a campaign live from 2020 on, so
# that every report of the run is a campaign's (and each a new machine).
live_campaign() {
  "$bin" import --db "$1" /dev/null >/dev/null
  "$bin" campaign add --id live --from 2020-01-01T00:00Z --max-popups 3 --db "$1" >/dev/null
}
# stored_run KIND CLIENTS REQUESTS [live]: $bin's stored intake into a new
# database of KIND (sqlite, pg), with a campaign live given `live`; sets
# run_at (the load average as it began), run_line (the load generator's)
# and run_stored (the rows stored).
stored_run() {
  local name=$1$2_$((++run_no)) where
  if [ "$1" = sqlite ]; then where=$work/$name.db; else where=$(pgdb "$name"); fi
  [ -z "${4:-}" ] || live_campaign "$where"
  run_at=$(loadavg)
  start_server "$name" --db "$where"
  run_line=$(load_run "$port" "$2" "$3" "$name")
  stop_servers
  if [ "$1" = sqlite ]; then run_stored=$(rows "$where"); else run_stored=$(psql_ -d "$name" -c "SELECT count(*) FROM reports"); fi
}
sqlite_row() {  # sqlite_row CLIENTS [LABEL [live]]: a stored run into a new SQLite file
  stored_run sqlite "$1" "$requests" "${3:-}"
  add_row "sqlite${3:+-live}" "$1" "${2:-SQLite}" "$run_stored" "$run_at" "$run_line"
}
pg_row() {  # pg_row CLIENTS [LABEL [live]]: the same into a new PostgreSQL database
  stored_run pg "$1" "$requests" "${3:-}"
  add_row "pg${3:+-live}" "$1" "${2:-PostgreSQL}" "$run_stored" "$run_at" "$run_line"
}
# cost_run KIND CLIENTS [live]: one short stored run of the pairs; sets
# cost_rate.
cost_run() {
  stored_run "$1" "$2" "$pair_requests" "${3:-}"
  [ "$(field failed "$run_line")" = 0 ] && [ "$run_stored" = "$(field acked "$run_line")" ] ||
    problems+=("$1${3:+, a campaign live}, $2 clients, a run of the pairs: $run_stored stored of $run_line")
  cost_rate=$(field rate "$run_line")
}
cost_pairs=()  # "KIND|CLIENTS|RATE WITHOUT|RATE WITH", a pair each
cost_rows() {  # cost_rows CLIENTS: the pairs of both back ends at that concurrency
  local kind pair without with
  for kind in sqlite pg; do
    for pair in $(seq "$pairs"); do
      if [ $((pair % 2)) = 1 ]; then
        cost_run "$kind" "$1"; without=$cost_rate; cost_run "$kind" "$1" live; with=$cost_rate
      else
        cost_run "$kind" "$1" live; with=$cost_rate; cost_run "$kind" "$1"; without=$cost_rate
      fi
      cost_pairs+=("$kind|$1|$without|$with")
    done
    echo "   $kind, a campaign live, $pairs pairs of $pair_requests reports: $(printf '%s\n' "${cost_pairs[@]}" |
      awk -F'|' -v k="$kind" -v c="$1" '$1 == k && $2 == c {printf "%+.0f%% ", ($4 / $3 - 1) * 100}')"
  done
}
nginx_imports=()
nginx_row() {  # nginx_row CLIENTS: the peer, its access log's lines as what it stored
  local name=nginx$1_$((++run_no)) at line lines seconds
  at=$(loadavg)
  start_nginx "$name"
  line=$(load_run "$port" "$1" "$requests" "$name")
  stop_nginx
  lines=$(wc -l <"$work/$name/access.log")
  add_row nginx "$1" "nginx, access log on" "$lines" "$at" "$line"
  # The rest of that setup, done later and apart: the log into the database.
  seconds=$( { /usr/bin/time -f %e "$bin" import --db "$work/$name.db" "$work/$name/access.log" >/dev/null; } 2>&1 | tail -1)
  [ "$(rows "$work/$name.db")" = "$lines" ] || problems+=("nginx, $1 clients: $lines lines logged, $(rows "$work/$name.db") imported")
  nginx_imports+=("$lines|$seconds")
}

# The intake's part of the page: the table of every row, each rate against
# the floor and nginx of its concurrency, and the goals at the highest.
intake_table() {
  INTAKE_ROWS=$(printf '%s\n' "${intake_rows[@]}") NGINX_IMPORTS=$(printf '%s\n' "${nginx_imports[@]}") \
    COST_PAIRS=$(printf '%s\n' "${cost_pairs[@]}") \
    python3 - "$requests" "$intake_load" "$("$pgbin/postgres" --version)" "$("$nginx" -v 2>&1)" "$baseline" "$pairs" "$pair_requests" <<'PY'
import math, os, re, statistics, subprocess, sys
requests, load, pg_version, nginx_version, baseline, pair_count, pair_requests = sys.argv[1:8]
def f(line, key):
    return float(re.search(key + r" ([0-9.]+)", line).group(1))
num = lambda n: "{:,}".format(int(float(n)))
rows = [dict(zip(("kind", "clients", "label", "stored", "load", "line"), l.split("|", 5)))
        for l in os.environ["INTAKE_ROWS"].splitlines()]
def peer(kind, clients):  # the first row of that kind at that concurrency
    return next((r for r in rows if r["kind"] == kind and r["clients"] == clients), None)
def ratio(r, kind):
    p = peer(kind, r["clients"])
    return "-" if r["kind"] in ("floor", kind) or p is None else "%.2f" % (f(r["line"], "rate") / f(p["line"], "rate"))
cpu = subprocess.run(["sh", "-c", "grep -m1 'model name' /proc/cpuinfo | cut -d: -f2"], capture_output=True, text=True).stdout.strip()
levels = sorted({r["clients"] for r in rows}, key=int)
top = levels[-1]
out = [
    "`scripts/bench-reports.sh`: `quentra-reports serve` on 127.0.0.1 at %s concurrent clients "
    "(`quentra-reports-load`), each client sending from its own loopback address (127.1.x.y) and every report on "
    "a new connection as the plug-in makes, %s reports a row, on this %d-core machine (%s). The floor is the same "
    "server with `--bench-floor`: it answers 200 without storing. Stored means committed, with its hour's rollups, "
    "before the 200: SQLite with synchronous=FULL, PostgreSQL (%s, a server of the script's own on a Unix socket, "
    "default settings) with synchronous_commit on. The peer is %s, an instance of the script's own "
    "(`worker_processes auto`, the receiver's listen queue of 4,096) answering 200 on `/traycast.html` with its "
    "access log on: the combined format, a write per request, never synced; its reports are stored once that log "
    "is imported. Load average (1, 5, 15 min) %s as the rows began and %s as they ended; the last column is the "
    "1-minute figure as each row began."
    % (" and ".join(filter(None, [", ".join(num(c) for c in levels[:-1]), num(levels[-1])])), num(requests), os.cpu_count(), cpu,
       pg_version.replace("postgres (PostgreSQL) ", ""), nginx_version.replace("nginx version: nginx/", "nginx "),
       *load.split("|")),
    "",
    "| clients | run | answered 200 | stored | not 200 | reports/s | p50 ms | p99 ms | ÷ floor | ÷ nginx | load |",
    "|---:|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|",
] + [
    "| %s | %s | %s | %s | %d | %s | %.2f | %.2f | %s | %s | %s |" % (
        num(r["clients"]), r["label"], num(f(r["line"], "acked")),
        "-" if r["stored"] == "-" else num(r["stored"]) + (" log lines" if r["kind"] == "nginx" else " rows"),
        f(r["line"], "failed"), num(f(r["line"], "rate")), f(r["line"], "p50_ms"), f(r["line"], "p99_ms"),
        ratio(r, "floor"), ratio(r, "nginx"), r["load"])
    for r in rows
]
goals = []
for kind, name in (("sqlite", "SQLite"), ("pg", "PostgreSQL")):
    r = peer(kind, top)
    if r and peer("floor", top) and peer("nginx", top):
        goals.append("%s %s reports/s, %s of the floor and %s of nginx" % (name, num(f(r["line"], "rate")), ratio(r, "floor"), ratio(r, "nginx")))
imports = [l.split("|") for l in os.environ["NGINX_IMPORTS"].splitlines() if l]
out += [
    "",
    "No report lost or refused in any row: every answer 200, stored rows (nginx: its access log's lines) equal to "
    "the 200s." + (" The baseline (`REPORTS_BENCH_BASELINE`, %s) ran right after this build, against the same "
                   "floor." % baseline if baseline else ""),
]
if goals:
    out += ["", "At %s clients (the goals: stored reports per second at least 0.6 of the floor and 0.5 of nginx): %s."
            % (num(top), "; ".join(goals))]
pairs = [l.split("|") for l in os.environ["COST_PAIRS"].splitlines() if l]
# The median's 95 % interval from the ratios alone: the k-th smallest to the
# k-th largest hold the true median with the chance 1 - 2 P(Bin(n, 1/2) < k),
# k the largest for which that is at least 95 % (none below 6 pairs).
def median_interval(ratios):
    n, k = len(ratios), 0
    while k < n // 2 and 1 - 2 * sum(math.comb(n, i) for i in range(k + 1)) / 2 ** n >= 0.95:
        k += 1
    return (ratios[k - 1], ratios[n - k]) if k else None
# Against the goal, a live campaign costs at most 10 %: met when the whole
# interval is within it, missed when the whole interval is beyond.
def verdict(interval):
    if interval is None:
        return "too few pairs to tell"
    if interval[0] >= 0.9:
        return "within the 10 % goal"
    return "beyond the 10 % goal" if interval[1] < 0.9 else "the interval holds the 10 % goal: this machine cannot tell"
live = []
for c in levels:
    for kind, name in (("sqlite", "SQLite"), ("pg", "PostgreSQL")):
        ratios = sorted(float(w) / float(wo) for k, n, wo, w in pairs if k == kind and n == c)
        if ratios:
            pct = lambda x: "%+.0f %%" % ((x - 1) * 100)
            interval = median_interval(ratios)
            live.append("%s at %s clients %s (%s%s; its pairs from %s to %s)" % (
                name, num(c), pct(statistics.median(ratios)),
                "95 %% interval %s to %s, " % tuple(map(pct, interval)) if interval else "", verdict(interval),
                pct(ratios[0]), pct(ratios[-1])))
if live:
    out += ["", "What a campaign live costs (`campaign add --id live --from 2020-01-01T00:00Z` before the run, so that "
            "each report changes a machine's state and the campaign's counts in its transaction; every report of the "
            "load a new machine, the costliest case), measured in pairs apart from the table: at each concurrency and "
            "back end %d pairs of runs of %s reports into new databases, one without a campaign and one with it, "
            "which first alternating, and the median of the pairs' stored reports per second with it over without, with "
            "the median's 95 %% interval from the pairs' order (no assumption on how a run's rate is spread): "
            "%s. The table's rows with a campaign are single runs; one run's rate moves by up to 25 %% from the next "
            "on this machine." % (int(pair_count), num(pair_requests), "; ".join(live))]
if imports:
    out += ["", "`quentra-reports import` of nginx's log into SQLite, afterwards: %s." %
            ", ".join("%s lines in %s s" % (num(n), s) for n, s in imports)]
print("\n".join(out))
PY
}

baseline=${REPORTS_BENCH_BASELINE:-}
# with_baseline KIND CLIENTS LABEL: KIND_row with this build, then, given
# REPORTS_BENCH_BASELINE, with that build.
with_baseline() {
  "$1_row" "$2" "$3"
  [ -z "$baseline" ] || { local this=$bin; bin=$baseline; "$1_row" "$2" "$3, the baseline build"; bin=$this; }
}
intake_load=$(cut -d' ' -f1-3 /proc/loadavg)
for n in "${concurrency[@]}"; do
  echo "== $n clients, each from its own address: $requests reports a row${baseline:+, the baseline $baseline after each stored row}"
  floor_row "$n"
  for round in $(seq "$rounds"); do
    r=; [ "$rounds" -eq 1 ] || r=", round $round"
    with_baseline sqlite "$n" "SQLite$r"
    with_baseline pg "$n" "PostgreSQL$r"
    sqlite_row "$n" "SQLite, a campaign live$r" live
    pg_row "$n" "PostgreSQL, a campaign live$r" live
  done
  nginx_row "$n"
  cost_rows "$n"
done
intake_load="$intake_load|$(cut -d' ' -f1-3 /proc/loadavg)"
# The baseline named by its checkout's commit when it has one.
[ -z "$baseline" ] || baseline="the build of $(git -C "$(dirname "$baseline")" rev-parse --short HEAD 2>/dev/null || echo "$baseline")"
intake=$(intake_table)
echo "$intake"
if [ ${#problems[@]} -gt 0 ]; then
  printf 'bench-reports: %s\n' "${problems[@]}" >&2
  exit 1
fi
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
  out=$(load_run "$port" "$clients" $((million / 10)) "c$chunk")
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
pg_sql_s=$( { /usr/bin/time -f %e "${as_pg[@]}" psql -h "$pg_dir" -U postgres -d big -qAt -c "
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

section=$(INTAKE="$intake" python3 - "$twokill" "$twokill_load2" "$million" "$million_rows" "$million_seconds" \
  "$rss_start" "$db_bytes" "$clients" "$big" "$sqlite_sql_s" "$sqlite_migrate_s" "$sqlite_big_bytes" \
  "$sqlite_summary_ms" "$pg_sql_s" "$pg_migrate_s" "$pg_big_bytes" "$pg_summary_ms" "$sqlite_total" "$pg_total" \
  "${rss_samples[@]}" <<'PY'
import os, re, sys
(twokill, load2, million, million_rows, million_seconds, rss_start, db_bytes, clients, big,
 s_sql, s_mig, s_bytes, s_ms, p_sql, p_mig, p_bytes, p_ms, s_total, p_total) = sys.argv[1:20]
samples = [int(s) for s in sys.argv[20:]]
def f(line, key):
    return float(re.search(key + r" ([0-9.]+)", line).group(1))
mib = lambda kib: kib / 1024
num = lambda n: "{:,}".format(int(float(n)))
print("\n".join([
    "## Report receiver",
    "",
    os.environ["INTAKE"],
    "",
    "Two receivers on one PostgreSQL database, 8 clients each, the first killed with SIGKILL after 5 s: "
    "%s reports acknowledged (%s by the killed one), every one stored exactly once, %s stored but never "
    "acknowledged (in flight when it died); the survivor went on at %.0f reports/s over its whole run."
    % (num(f(twokill, "acked")), num(f(twokill, "rx1")), num(f(twokill, "unacked")), f(load2, "rate")),
    "",
    "Over %s reports into SQLite from %s clients (%s rows stored, none lost, %.0f reports/s on average), the server's resident "
    "memory: %.1f MiB at the start, then every %s reports: %s MiB. Database size: %.1f MB per million reports "
    "(%s bytes after a checkpoint)."
    % (num(million), clients, num(million_rows), int(million_rows) / float(million_seconds), mib(int(rss_start)),
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
