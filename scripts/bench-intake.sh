#!/usr/bin/env bash
# The receiver's intake as a fleet meets it, printed as three markdown tables:
#
# - bursts: 64, 500 and 5,000 reports from as many loopback addresses
#   (127.1.x.y), and 1,000 from 127.0.0.1 alone, every one on a new
#   connection, all sent at once, into SQLite: the answers by status and the
#   rows stored;
# - an attack: 2,000 connections from 500 addresses (127.200.x.y), half idle,
#   half sending a request a byte every 100 ms, each opened again as soon as
#   the receiver closes it, while 1,000 reports come from 1,000 other
#   addresses: their answers and the slowest answer's time;
# - /healthz of a receiver on PostgreSQL (a server of the script's own),
#   while the database server runs, once it is stopped, and once it runs
#   again.
#
#   scripts/bench-intake.sh [RECEIVER]
#
# RECEIVER is a quentra-reports binary (another build's, to compare); without
# it this checkout's is built and used. The load generator is always this
# checkout's. About a minute; run it under flock /tmp/quentra-heavy.lock on a
# shared machine.
set -euo pipefail
. "$(dirname "$0")/lib.sh"
repo=$quentra_repo
cd "$repo"
quentra_build reports quentra-reports quentra-reports-load
bin=${1:-$repo/build/reports/reports/quentra-reports}
load=$repo/build/reports/reports/quentra-reports-load
work=$(mktemp -d /tmp/quentra-bench-intake.XXXXXX) && chmod 755 "$work"  # the database server runs as postgres
pgbin=$(ls -d /usr/lib/postgresql/*/bin | sort -V | tail -1)
as_pg=(); [ "$(id -u)" -eq 0 ] && as_pg=(runuser -u postgres --)

server_pid=
stop_server() { [ -z "$server_pid" ] || { kill -TERM "$server_pid" 2>/dev/null || true; wait "$server_pid" 2>/dev/null || true; }; server_pid=; }
stop_all() {
  stop_server
  [ ! -d "$work/pg/data" ] || "${as_pg[@]}" "$pgbin/pg_ctl" -D "$work/pg/data" -m immediate -w stop >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap stop_all EXIT
start_server() {  # start_server NAME ARGS...: sets server_pid and port
  quentra_receiver "$bin" "$work/$1.out" --listen 127.0.0.1:0 "${@:2}"
  server_pid=$receiver_pid port=$receiver_port
}
field() { sed -n "s/.* $1 \([0-9.]*\).*/\1/p" <<<" $2"; }

echo "receiver: $bin" >&2
bursts=("| reports at once | from | 200 | 503 | other status | no answer | rows stored |" "|---:|---|---:|---:|---:|---:|---:|")
for shape in 64:distinct 500:distinct 5000:distinct 1000:one; do
  n=${shape%%:*}
  from=(--addresses-from 127.1.0.1); label="$n addresses"
  [ "${shape#*:}" = one ] && from=() label="127.0.0.1 alone"
  start_server "burst$n" --db "$work/burst$n.db"
  out=$("$load" --port "$port" --clients "$n" --requests "$n" "${from[@]}" --prefix "b$n")
  stop_server
  rows=$(sqlite3 "$work/burst$n.db" "SELECT COUNT(*) FROM reports")
  echo "burst $n from $label: $out; rows $rows" >&2
  bursts+=("| $n | $label | $(field status_200 "$out") | $(field status_503 "$out") | $(field status_other "$out") | $(field no_answer "$out") | $rows |")
done

start_server attack --db "$work/attack.db"
out=$("$load" --port "$port" --clients 1000 --requests 1000 --addresses-from 127.1.0.1 --prefix h \
  --attack 2000 --attack-addresses 500)
stop_server
rows=$(sqlite3 "$work/attack.db" "SELECT COUNT(*) FROM reports")
echo "attack: $out; rows $rows" >&2
attack=("| honest reports | 200 | 503 | other status | no answer | rows stored | slowest answer | attacking connections closed by the receiver |"
  "|---:|---:|---:|---:|---:|---:|---:|---:|"
  "| 1,000 | $(field status_200 "$out") | $(field status_503 "$out") | $(field status_other "$out") | $(field no_answer "$out") | $rows | $(field max_ms "$out") ms | $(field attack_closed "$out") |")

mkdir -p "$work/pg"
[ ${#as_pg[@]} -eq 0 ] || chown postgres "$work/pg"
"${as_pg[@]}" "$pgbin/initdb" -D "$work/pg/data" -A trust -U postgres -E UTF8 --no-sync >"$work/pg-init.log"
pg_ctl_() { "${as_pg[@]}" "$pgbin/pg_ctl" -D "$work/pg/data" -l "$work/pg/server.log" -w "$@" >/dev/null; }
pg_ctl_ -o "-k $work/pg -c listen_addresses=" start
start_server health --db "host=$work/pg user=postgres dbname=postgres"
healthz() { curl -s -o /dev/null -w '%{http_code}' "http://127.0.0.1:$port/healthz" || true; }
# The first answer other than `was` within 100 tries, and how long it took.
until_not() {
  local was=$1 t0=$EPOCHREALTIME code
  for _ in $(seq 100); do code=$(healthz); [ "$code" != "$was" ] && break; sleep 0.05; done
  awk -v c="$code" -v w="$was" -v a="$t0" -v b="$EPOCHREALTIME" \
    'BEGIN { printf(c == w ? "%s, still after %.1f s" : "%s after %.1f s", c, b - a) }'
}
running=$(healthz)
pg_ctl_ -m fast stop
stopped=$(until_not "$running")
pg_ctl_ -o "-k $work/pg -c listen_addresses=" start
again=$(until_not "${stopped%% *}")
stop_server
echo "healthz: running $running, stopped $stopped, started again $again" >&2
health=("| PostgreSQL | \`GET /healthz\` |" "|---|---|" "| running | $running |" "| stopped | $stopped |" "| started again | $again |")

printf '%s\n' "${bursts[@]}" "" "${attack[@]}" "" "${health[@]}"
