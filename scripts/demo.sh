#!/usr/bin/env bash
# The main job: the whole cycle of the plug-in on a sandboxed Wine machine.
#
# It builds the 64-bit twin (preset win64), makes a Wine prefix of its own
# (build/win64/wine/demo-prefix) into a machine with the suite installed
# (registry entries, the suite's stand-in files, the sample campaign beside
# the DLL, game shortcuts on the desktop, the real report receiver
# quentra-reports on 127.0.0.1 with a database of the demo's own),
# then lets the host simulator drive the plug-in: a check that answers 1, the
# balloon's texts, the user accepting, the installer starting, the two usage
# reports arriving, and a second check that answers 0, with the gate that
# stopped it, and the day's summary from the receiver. Rerunnable: each run
# resets its own sandbox and the receiver's database first.
set -euo pipefail
. "$(dirname "$0")/lib.sh"
repo=$quentra_repo
echo "== building the 64-bit twin (preset win64)"
quentra_twin Quentra quentra-host quentra-campaign standin_installer standin_verify
echo "== building the report receiver (preset reports, native)"
quentra_build reports quentra-reports

build=$QUENTRA_BUILD
origin=$(sed -n 's/^QUENTRA_REPORT_ORIGIN:[A-Z]*=//p' "$build/CMakeCache.txt")
port=${origin##*:}
if [[ ! $origin =~ ^http://127\.0\.0\.1:[0-9]+$ ]]; then
  echo "demo: this build reports to $origin; the demo only sends to http://127.0.0.1:PORT" >&2
  exit 1
fi

# The demo's machine is a sandbox of tools/quentra-sandbox, named demo: its
# own prefix and home, reset at every run.
echo "== starting the demo machine's Wine ($build/wine/demo-prefix)"
quentra_wine_session demo

# ---- the machine: C:\CorvelSafe holds the suite, C:\CorvelSafe\Tray the host
# and the plug-in with the sample campaign; game shortcuts on the desktop. The
# machine identifier has a blank and an '&': it travels percent-encoded.
drive=$WINEPREFIX/drive_c
suite=$drive/CorvelSafe
sandbox=$drive/quentra-demo
rm -rf "$sandbox"
mkdir -p "$sandbox"
tools/quentra-sandbox --machine demo --campaign examples/quentracfg.dat --cid 'DEMO PC&7F3A' >"$sandbox/machine.out"

# The report receiver on 127.0.0.1: quentra-reports with the demo's own
# database, new at each run.
reports_bin=$repo/build/reports/reports/quentra-reports
reports_db=$build/wine/demo-reports.db
rm -f "$reports_db" "$reports_db-wal" "$reports_db-shm"
quentra_receiver "$reports_bin" "$sandbox/receiver.out" --db "$reports_db" --listen "127.0.0.1:$port"
# The receiver this run started, by its PID.
quentra_on_exit "kill $receiver_pid 2>/dev/null; wait $receiver_pid 2>/dev/null"
today=$(date -u +%F)
# GET PATH from the receiver, printed as it came.
receiver_get() {
  python3 -c 'import sys, urllib.request; sys.stdout.write(urllib.request.urlopen(sys.argv[1], timeout=10).read().decode("utf-8"))' \
    "http://127.0.0.1:$port$1"
}

echo
echo "== the machine"
grep -E '^   (suite|identifier|campaign|desktop) ' "$sandbox/machine.out"
echo "   receiver   http://127.0.0.1:$port (quentra-reports, database ${reports_db#$repo/})"

# The host runs on the demo machine as a user runs it there, so that the
# hint it prints for a 0 is a command that runs as printed (the tree is the
# default one: no QUENTRA_BUILD in front).
host=(env QUENTRA_TOOLS_ENV= QUENTRA_MACHINE=demo tools/quentra-host)
echo
echo "== the tray host: QUENTRA_MACHINE=demo tools/quentra-host run 'C:\CorvelSafe\Tray\Quentra.dll' --accept --user-delay 1500 --checks 2"
host_out=$sandbox/host.out
"${host[@]}" run 'C:\CorvelSafe\Tray\Quentra.dll' --accept --user-delay 1500 --checks 2 --wait-reports 20000 \
  >"$host_out" 2>&1 || true
sed 's/\r$//; s/^/   /' "$host_out"

echo
echo "== the installer stand-in was started with"
installer_log=$suite/modules/Corvelinst.log
for _ in $(seq 100); do [ -s "$installer_log" ] && break; sleep 0.1; done
if [ -s "$installer_log" ]; then sed 's/\r$//; s/^/   /' "$installer_log"; else echo "   (nothing: the installer did not start)"; fi

echo
echo "== reports stored by the receiver on 127.0.0.1:$port (reports.csv, kind t=0 showing, t=1 install)"
reports_csv=$sandbox/reports.csv
receiver_get "/reports.csv?from=$today&to=$today" >"$reports_csv" || true
if [ "$(wc -l <"$reports_csv")" -gt 1 ]; then sed 's/\r$//; s/^/   /' "$reports_csv"; else echo "   (none)"; fi

# Why the second check answered 0: the command the host printed for it, run
# as printed.
hint=$(tr -d '\r' <"$host_out" | sed -n '/^why 0/{n;s/^ *//;p;q}')
echo
echo "== why the second check answered 0: ${hint:-(the host printed no command)}"
doctor_out=$sandbox/doctor.out
: >"$doctor_out"
[ -z "$hint" ] || env -u QUENTRA_BUILD -u WINEPREFIX -u QUENTRA_HOME bash -c "$hint" >"$doctor_out" 2>&1 || true
sed 's/\r$//; s/^/   /' "$doctor_out"

# The cycle as it must be: say plainly when a step did not happen.
failed=()
checks=$(grep -a '^check ' "$host_out" | awk '{print $2}' | tr -d '\r' | tr '\n' ' ')
[ "$checks" = "1 0 " ] || failed+=("the checks answered '${checks}', not '1 0'")
grep -aq '^install   1' "$host_out" || failed+=("the install command did not start the installer")
grep -aq '^cmd=' "$installer_log" 2>/dev/null || failed+=("the installer stand-in logged no start")
grep -q ',showing,' "$reports_csv" || failed+=("no t=0 report was stored")
grep -q ',install,' "$reports_csv" || failed+=("no t=1 report was stored")
grep -aq '^ended by: ' "$doctor_out" || failed+=("the doctor named no gate: the hint '${hint}' did not run as printed")
summary_out=$sandbox/summary.out
"$reports_bin" summary --db "$reports_db" --from "$today" --to "$today" >"$summary_out" 2>&1 || true
day_total=$(awk '$1 == "range" {print $2, $3, $6, $7}' "$summary_out")
[ "$day_total" = "1 1 100 %" ] ||
  failed+=("the receiver's summary of $today is '${day_total}', not 1 showing, 1 install, 100 %")
echo
if [ ${#failed[@]} -gt 0 ]; then
  printf 'demo: %s\n' "${failed[@]}" >&2
  exit 1
fi
echo "== the day's summary from the receiver: quentra-reports summary --from $today --to $today"
sed 's/^/   /' "$summary_out"
echo "   dashboard  http://127.0.0.1:$port/ (this run's receiver stops with the demo; to browse the demo's"
echo "              reports again: ${reports_bin#$repo/} serve --db ${reports_db#$repo/} --listen 127.0.0.1:$port)"
echo
echo "== the whole cycle ran: $(grep -a '^ended by: ' "$doctor_out" | tr -d '\r')"
