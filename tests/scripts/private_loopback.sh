#!/usr/bin/env bash
# The tree's report port held on this machine's loopback by a program that
# accepts and never answers, as another checkout's tests may hold it: the
# suite's report cycle still passes, because the suite's Wine server has a
# loopback of its own. Skips (77) where no network namespace can be made.
set -euo pipefail
. "${QUENTRA_SOURCE:?}/scripts/lib.sh"; : "${QUENTRA_BUILD:?}"
if ! unshare -n sh -c 'ip link set lo up' 2>/dev/null; then
  echo "private_loopback: no network namespace can be made here (it takes root, unshare and ip): skipped"
  exit 77
fi
origin=$(sed -n 's/^QUENTRA_REPORT_ORIGIN:[A-Z]*=//p' "$QUENTRA_BUILD/CMakeCache.txt")
[[ $origin =~ ^http://127\.0\.0\.1:([0-9]+)$ ]] || { echo "private_loopback: this tree reports to $origin: skipped"; exit 77; }
port=${BASH_REMATCH[1]}

# Holds the port while this script runs; if something else holds it already,
# that is the case under test too.
ready=$(mktemp); quentra_on_exit "rm -f $(printf %q "$ready")"
python3 - "$port" "$ready" <<'PY' &
import socket, sys, time
s = socket.socket()
try:
    s.bind(("127.0.0.1", int(sys.argv[1])))
    s.listen(64)
    open(sys.argv[2], "w").write("held")
except OSError as e:
    open(sys.argv[2], "w").write("taken already: %s" % e)
time.sleep(600)
PY
holder=$!
quentra_on_exit "kill $holder 2>/dev/null; wait $holder 2>/dev/null"
for _ in $(seq 100); do [ -s "$ready" ] && break; sleep 0.05; done
echo "private_loopback: 127.0.0.1:$port on this machine's loopback: $(cat "$ready")"

quentra_run quentra_tests.exe --gtest_brief=1 \
  --gtest_filter='ReportCycle.ShownReportsT0AndStartedInstallReportsT1:InstallCommand.RepeatedCallsStartOneInstallerAndOneReportEach'
