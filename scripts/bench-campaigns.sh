#!/usr/bin/env bash
# Figures of the receiver's campaigns on this machine, written into
# docs/performance.md between <!-- campaigns:begin --> and
# <!-- campaigns:end --> (appended at the end when absent), and the campaign
# page's and the comparison page's screenshots into docs/:
#
# - a fleet of REPORTS_FLEET_MACHINES (100,000) simulated machines
#   (quentra-reports-fleet: conversions of 10, 5 and 3 % after the 1st, 2nd
#   and 3rd showing, a cap of 3, 1 % of the machines sharing another's
#   identifier, 28 days in UTC+8), imported with its campaign live into
#   SQLite and into PostgreSQL (a server of the script's own): the receiver's
#   campaign.json beside the simulator's own truth;
# - compare.json of that campaign against a fleet whose conversions are 12, 6
#   and 4 %, and against one of the same conversions as its own;
# - campaign.json and the campaign page over one campaign of
#   REPORTS_CAMPAIGN_BIG (10,000,000) machines on each back end, the median
#   of 5 requests: its reports made directly in SQL (a showing for each
#   machine, every tenth installing a minute to an hour later, over 28 days),
#   its state built by `campaign add` from them (timed).
#
# Takes about 25 minutes; run it under flock /tmp/quentra-heavy.lock on a
# shared machine. Smaller REPORTS_FLEET_MACHINES and REPORTS_CAMPAIGN_BIG
# make it shorter for a try (the figures are then not the page's).
set -euo pipefail
. "$(dirname "$0")/lib.sh"
cd "$quentra_repo"
machines=${REPORTS_FLEET_MACHINES:-100000}
big=${REPORTS_CAMPAIGN_BIG:-10000000}

quentra_build reports quentra-reports quentra-reports-fleet
bin=$quentra_repo/build/reports/reports/quentra-reports
fleet=$quentra_repo/build/reports/reports/quentra-reports-fleet
work=$quentra_repo/build/reports/bench-campaigns
pg_dir=$work/pg
quentra_postgres_stop  # one a run before left
rm -rf "$work"
mkdir -p "$work"

server_pid=
stop_server() { [ -z "$server_pid" ] || { kill -TERM "$server_pid" 2>/dev/null; wait "$server_pid" 2>/dev/null || true; server_pid=; }; }
trap 'stop_server; quentra_postgres_stop' EXIT
serve() {  # serve DB: a receiver on DB; sets port
  quentra_receiver "$bin" "$work/serve.out" --db "$1" --listen 127.0.0.1:0
  server_pid=$receiver_pid port=$receiver_port
}
quentra_postgres "$work/pg"
: >"$work/empty.log"
newdb() {  # newdb ENGINE NAME: a new database's --db
  if [ "$1" = sqlite ]; then echo "$work/$2.db"; else pgdb "$2"; fi
}

# The fleets: the campaign measured, one that converts better, one alike.
echo "== fleets of $machines machines"
"$fleet" --machines "$machines" --from 2026-03-02T00:00Z --days 28 --tz 8 --conversions 0.10,0.05,0.03 \
  --shared 0.01 --seed 1 --prefix spring --log "$work/spring.log" --truth "$work/spring.json"
"$fleet" --machines "$machines" --from 2026-04-06T00:00Z --days 28 --tz 8 --conversions 0.12,0.06,0.04 \
  --shared 0.01 --seed 2 --prefix summer --log "$work/summer.log" --truth "$work/summer.json"
"$fleet" --machines "$machines" --from 2026-05-04T00:00Z --days 28 --tz 8 --conversions 0.10,0.05,0.03 \
  --shared 0.01 --seed 3 --prefix autumn --log "$work/autumn.log" --truth "$work/autumn.json"

for engine in sqlite pg; do
  db=$(newdb $engine fleet)
  "$bin" import --db "$db" "$work/empty.log" >/dev/null
  for c in spring:2026-03-02:2026-03-30 summer:2026-04-06:2026-05-04 autumn:2026-05-04:2026-06-01; do
    IFS=: read -r id from to <<<"$c"
    "$bin" campaign add --id "$id" --from "${from}T08:00" --to "${to}T08:00" --tz 8 --max-popups 3 --weekdays 127 \
      --purpose "vault-$id" --db "$db" >/dev/null
  done
  seconds=$( { /usr/bin/time -f %e "$bin" import --db "$db" "$work/spring.log" >/dev/null; } 2>&1 | tail -1)
  echo "   $engine: the spring fleet imported, its campaign live, in $seconds s"
  echo "$seconds" >"$work/$engine-import-seconds"
  if [ $engine = sqlite ]; then
    "$bin" import --db "$db" "$work/summer.log" >/dev/null
    "$bin" import --db "$db" "$work/autumn.log" >/dev/null
  fi
  serve "$db"
  curl -sf "http://127.0.0.1:$port/campaign.json?id=spring" >"$work/$engine-spring.json"
  if [ $engine = sqlite ]; then
    curl -sf "http://127.0.0.1:$port/compare.json?a=spring&b=summer" >"$work/compare-differ.json"
    curl -sf "http://127.0.0.1:$port/compare.json?a=spring&b=autumn" >"$work/compare-alike.json"
    for page in "campaign?id=spring:campaign.png" "compare?a=spring&b=summer:campaign-compare.png"; do
      /usr/bin/chromium --headless --no-sandbox --disable-gpu --no-first-run --hide-scrollbars \
        --window-size=900,2000 --user-data-dir="$work/profile" --screenshot="$quentra_repo/docs/${page#*:}" \
        "http://127.0.0.1:$port/${page%%:*}" >/dev/null 2>&1
    done
  fi
  stop_server
done

# One campaign of $big machines, made in SQL; its state built by the ledger.
first=1772409600  # 2026-03-02T00:00:00Z
big_sql="SELECT $first + i * 2419200 / $big AS t, 0 AS k, 'big-' || i AS m FROM n
  UNION ALL SELECT $first + i * 2419200 / $big + 60 + i % 3540, 1, 'big-' || i FROM n WHERE i % 10 = 0"
for engine in sqlite pg; do
  echo "== one campaign of $big machines: $engine"
  db=$(newdb $engine big)
  "$bin" import --db "$db" "$work/empty.log" >/dev/null
  if [ $engine = sqlite ]; then
    sql_s=$( { /usr/bin/time -f %e sqlite3 "$db" "WITH RECURSIVE n(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM n WHERE i + 1 < $big)
      INSERT INTO reports(at, kind, machine, client) SELECT t, k, CAST(m AS BLOB), '10.0.0.1' FROM ($big_sql) AS r;
      PRAGMA wal_checkpoint(TRUNCATE);" >/dev/null; } 2>&1 | tail -1)
  else
    sql_s=$( { /usr/bin/time -f %e "${as_pg[@]}" psql -h "$pg_dir" -U postgres -d big -qAt -c "
      INSERT INTO reports(at, kind, machine, client) SELECT t, k::smallint, convert_to(m, 'UTF8'), '10.0.0.1'
      FROM (WITH n AS (SELECT i FROM generate_series(0::bigint, $big - 1) AS i) $big_sql) AS r" \
      -c "VACUUM ANALYZE reports" >/dev/null; } 2>&1 | tail -1)
  fi
  /usr/bin/time -f %e -o "$work/build-seconds" "$bin" campaign add --id big --from 2026-03-02T00:00Z \
    --to 2026-03-30T00:00Z --max-popups 3 --db "$db" >/dev/null 2>&1
  build_s=$(cat "$work/build-seconds")
  [ $engine = pg ] && psql_ -d big -c "VACUUM ANALYZE campaign_machines" >/dev/null
  serve "$db"
  json_ms=$(quentra_median_ms "http://127.0.0.1:$port/campaign.json?id=big")
  page_ms=$(quentra_median_ms "http://127.0.0.1:$port/campaign?id=big")
  curl -sf "http://127.0.0.1:$port/campaign.json?id=big" >"$work/$engine-big.json"
  stop_server
  if [ $engine = sqlite ]; then size=$(stat -c %s "$db"); else size=$(psql_ -d big -c "SELECT pg_database_size('big')"); fi
  echo "$sql_s $build_s $json_ms $page_ms $size" >"$work/$engine-big"
  echo "   reports in SQL ${sql_s}s, state built in ${build_s}s, campaign.json ${json_ms} ms, page ${page_ms} ms, $size bytes"
done

section=$(python3 - "$work" "$machines" "$big" <<'PY'
import json, os, sys
work, machines, big = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
load = lambda name: json.load(open(os.path.join(work, name)))
truth, s, p = load("spring.json"), load("sqlite-spring.json"), load("pg-spring.json")
num = lambda n: "{:,}".format(n)
def get(d, path):
    for k in path.split("."):
        d = d.get(k) if isinstance(d, dict) else None
    return d
def cell(v):
    return "-" if v is None else num(v) if isinstance(v, int) else str(v)
rows = ["machines_shown", "showings", "installs", "machines_installed"] + \
    ["shown_times." + n for n in sorted(truth["shown_times"], key=int)] + \
    ["installed_after_showing." + n for n in sorted(truth["installed_after_showing"], key=int)] + \
    ["time_to_install_seconds.median", "time_to_install_seconds.p90", "quality.installs_without_showing",
     "quality.machines_over_cap", "quality.machines_shown_twice_a_day", "quality.empty_identifier_reports"]
table = ["| figure | the simulator's truth | SQLite | PostgreSQL |", "|---|---:|---:|---:|"]
for r in rows:
    table.append("| `%s` | %s | %s | %s |" % (r, cell(get(truth, r)), cell(get(s, r)), cell(get(p, r))))
steps = ["| showing | designed conversion | machines reached | installed after it | its conversion |",
         "|---:|---:|---:|---:|---:|"]
for n, st in sorted(truth["steps"].items(), key=lambda kv: int(kv[0]))[:3]:
    steps.append("| %s | %.0f %% | %s | %s | %.2f %% |" % (n, st["designed"] * 100, num(st["reached"]),
                                                         num(st["installed"]), 100.0 * st["installed"] / st["reached"]))
differ, alike = load("compare-differ.json"), load("compare-alike.json")
def comparison(c):
    return "b - a = %+.2f points, 95 %% interval %+.2f to %+.2f: `\"significant\": %s`" % (
        c["difference"] * 100, c["difference_interval"][0] * 100, c["difference_interval"][1] * 100,
        json.dumps(c["significant"]))
big_rows = ["| back end | reports made in SQL | state built (`campaign add`) | campaign.json | the campaign page | database size |",
            "|---|---:|---:|---:|---:|---:|"]
for engine, name in (("sqlite", "SQLite"), ("pg", "PostgreSQL")):
    sql_s, build_s, json_ms, page_ms, size = open(os.path.join(work, engine + "-big")).read().split()
    big_rows.append("| %s | %s s | %s s (%s reports/s) | **%s ms** | %s ms | %.2f GB |" % (
        name, sql_s, build_s, num(int(big * 1.1 / float(build_s))), json_ms, page_ms, int(size) / 1e9))
imports = {e: open(os.path.join(work, e + "-import-seconds")).read().strip() for e in ("sqlite", "pg")}
print("\n".join([
    "## Campaigns",
    "",
    "`scripts/bench-campaigns.sh`: a fleet of %s machines simulated by `quentra-reports-fleet` (conversions of 10, 5 "
    "and 3 %% after the 1st, 2nd and 3rd showing, a cap of 3, 1 %% of the machines sharing another's identifier, "
    "28 days, days in UTC+8), its access log imported with its campaign live (SQLite %s s, PostgreSQL %s s), "
    "`campaign.json` beside the simulator's own truth:" % (num(machines), imports["sqlite"], imports["pg"]),
    "",
] + table + [
    "",
    "The times to install come from a histogram (exact below 128 s, within 1/128 above); every other figure is exact. "
    "Each showing's own conversion (the fleet's events; the campaign page's table shows the same numbers, which "
    "the tests check) against the one the fleet was given:",
    "",
] + steps + [
    "",
    "`compare.json` against a fleet of the same size converting at 12, 6 and 4 %%: %s. Against one converting at "
    "10, 5 and 3 %% like it (another seed): %s." % (comparison(differ), comparison(alike)),
    "",
    "One campaign of %s machines (a showing each, every tenth installing a minute to an hour later, 28 days): "
    "its reports made directly in SQL, its state built by `campaign add` from them, then the median of 5 "
    "requests. `campaign.json` reads the campaign's counts only (a few hundred rows), never a machine:" % num(big),
    "",
] + big_rows))
PY
)
quentra_page_section campaigns "$section"
echo "$section"
