# Shared by the scripts and the Linux wrappers in tools/; sourced, never run.
# It sets quentra_repo, this checkout, and leaves the number of build jobs to
# the machine (all its cores, unless CMAKE_BUILD_PARALLEL_LEVEL says otherwise).
quentra_repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}

# The path Wine's programs see for a Linux path: its Z: drive form.
quentra_winpath() { printf 'Z:%s' "$(realpath -m -- "$1" | tr / '\\')"; }

# quentra_build PRESET|TREE [TARGET...]: builds TARGETs (all without one) of
# a PRESET, configured first, or of a TREE (a path) as it is configured.
# Quiet; on failure shows the end of cmake's output and answers 2.
quentra_build() {
  local where=$1 out how=(cmake --build --preset "$1"); shift
  [[ $where != */* ]] || how=(cmake --build "$where")
  [ $# -eq 0 ] || how+=(--target "$@")
  out=$(cd "$quentra_repo" && { [[ $where == */* ]] || cmake --preset "$where"; } 2>&1 && "${how[@]}" 2>&1) && return 0
  printf '%s\n' "$out" | tail -n 25 >&2
  echo "${0##*/}: could not build: ${how[*]} failed in $quentra_repo" >&2
  return 2
}

# quentra_twin TARGET...: a script's start, in the checkout's root: installs
# what a fresh machine lacks (scripts/bootstrap.sh), builds TARGETs of the
# win64 preset and exports its tree as QUENTRA_BUILD; exits when a step fails.
quentra_twin() {
  cd "$quentra_repo" && scripts/bootstrap.sh && quentra_build win64 "$@" || exit
  export QUENTRA_BUILD=$quentra_repo/build/win64
}

# quentra_run PROGRAM ARGS...: $QUENTRA_BUILD/bin/PROGRAM under Wine, run from
# that folder, its output with plain line ends; answers its exit code.
quentra_run() {
  (cd "$QUENTRA_BUILD/bin" && "$quentra_repo/tools/wine/qwine" "./$1" "${@:2}") | tr -d '\r'
  return "${PIPESTATUS[0]}"
}

# A wrapper's build tree: exports QUENTRA_BUILD, absolute (the tree the user
# named there, else build/win64), and QUENTRA_TOOLS_ENV, how the user named it
# for the commands the tools print (kept from a wrapper that runs this one).
quentra_tool_tree() {
  export QUENTRA_TOOLS_ENV=${QUENTRA_TOOLS_ENV-${QUENTRA_BUILD:+QUENTRA_BUILD=$QUENTRA_BUILD }}
  quentra_given=${QUENTRA_BUILD:+$(realpath -m -- "$QUENTRA_BUILD")}
  export QUENTRA_BUILD=${quentra_given:-$quentra_repo/build/win64}
}

# quentra_ensure_built TARGET... -- FILE...: a wrapper's one policy for a
# missing program: when a FILE of $QUENTRA_BUILD/bin is missing, says so and
# builds TARGETs (in the tree the user named, else the win64 preset); exits 2
# when that fails or makes no FILE.
quentra_ensure_built() {
  local targets=() f
  while [ "$1" != -- ]; do targets+=("$1"); shift; done
  shift
  for f; do [ -f "$QUENTRA_BUILD/bin/$f" ] || break; done
  [ ! -f "$QUENTRA_BUILD/bin/$f" ] || return 0
  echo "${0##*/}: building ${targets[*]} in $QUENTRA_BUILD (the first build takes about 80 s) ..." >&2
  quentra_build "${quentra_given:-win64}" "${targets[@]}" || exit 2
  for f; do [ -f "$QUENTRA_BUILD/bin/$f" ] || { echo "${0##*/}: the build made no $QUENTRA_BUILD/bin/$f" >&2; exit 2; }; done
}

# quentra_on_exit COMMAND: evaluated when the script exits, as a trap is,
# before the commands given earlier; its failure leaves the exit code alone.
quentra_on_exit() { quentra_exit="{ $1; } || true; ${quentra_exit:-}"; trap "$quentra_exit" EXIT; }

# quentra_wine_session [MACHINE]: one wineserver for all the script's Wine
# runs, in the prefix of the build tree's MACHINE (wine/MACHINE-prefix, its home
# MACHINE-home), else the caller's WINEPREFIX, else a prefix of this run's own
# (made now, about 15 s, removed on exit). On exit the server of that prefix,
# and only that one, is stopped if this session started it; one that ran
# already (-p answers 2: the caller's, ctest's) is its owner's to stop.
# With quentra_loopback=private set for the call, a server this session starts
# gets a network of its own (quentra_wineserver_start).
quentra_wine_session() {
  [ $# -eq 0 ] || export WINEPREFIX=$QUENTRA_BUILD/wine/$1-prefix QUENTRA_HOME=$QUENTRA_BUILD/wine/$1-home
  if [ -z "${WINEPREFIX:-}" ]; then
    WINEPREFIX=$(mkdir -p "$QUENTRA_BUILD/wine" && mktemp -d "$QUENTRA_BUILD/wine/session.XXXXXX")
    quentra_on_exit "rm -rf $(printf %q "$WINEPREFIX")"
  fi
  export WINEPREFIX
  mkdir -p "$WINEPREFIX"
  if quentra_wineserver_start; then quentra_on_exit "quentra_wineserver_stop $(printf %q "$WINEPREFIX")"; fi
  # A program run now makes a new prefix, and starts the prefix's services
  # (winedevice, ...) with their output going nowhere: started later by a
  # program under ctest, they would hold its output pipe open, and ctest
  # would wait for it to close as long as the server runs.
  "$quentra_repo/tools/wine/qwine" cmd /c exit 0 >/dev/null 2>&1
}

# Starts the persistent server of $WINEPREFIX; answers as `wineserver -p` does
# (0: started; else one ran already, or none could start). Wine makes every
# socket of its programs in the server, so a server in a network namespace of
# its own, with nothing but a loopback, gives the prefix's programs a
# 127.0.0.0/8 where no other program listens: the tree's report port is free
# whatever else the machine runs, another checkout's tests among them. Asked
# for by quentra_loopback=private, by the runs that need no peer outside Wine
# (the demo's receiver is a Linux program, so it shares the machine's). Making
# the namespace takes root, unshare and ip; without them the server shares
# the machine's loopback, and says so.
quentra_wineserver_start() {
  if [ "${quentra_loopback:-}" = private ]; then
    if unshare -n sh -c 'ip link set lo up' 2>/dev/null; then
      # A server that runs already lives on the machine's network: it is let
      # end first. The one that ctest's listing of the tests started ends
      # within seconds, with the prefix's services; one that still runs after
      # 30 s is somebody's own, and is left alone.
      timeout 30 /usr/lib/wine/wineserver -w 2>/dev/null
      unshare -n sh -c 'ip link set lo up && exec /usr/lib/wine/wineserver -p' 2>/dev/null && return 0
      echo "${0##*/}: a server of $WINEPREFIX runs already, started elsewhere: Wine's programs share this machine's loopback, where another program may hold the report port" >&2
      return 2
    fi
    echo "${0##*/}: no network namespace can be made here (it takes root, unshare and ip): Wine's programs share this machine's loopback, where another program may hold the report port" >&2
  fi
  /usr/lib/wine/wineserver -p 2>/dev/null
}

# Ends every Wine process of the prefix $1 and its server, and waits for them.
quentra_wineserver_stop() { (export WINEPREFIX=$1; /usr/lib/wine/wineserver -k; /usr/lib/wine/wineserver -w) 2>/dev/null || true; }

# quentra_page_section NAME TEXT: TEXT as the section NAME of
# docs/performance.md (between <!-- NAME:begin --> and <!-- NAME:end -->), in
# place of the one there or at the end; the rest of the page is kept.
quentra_page_section() {
  python3 - "$quentra_repo/docs/performance.md" "$@" <<'PY'
import sys
path, name, body = sys.argv[1:]
begin, end = "<!-- %s:begin -->" % name, "<!-- %s:end -->" % name
section = "%s\n%s\n%s" % (begin, body.strip("\n"), end)
text = open(path, encoding="utf-8").read()
if begin in text and end in text:
    text = text[:text.index(begin)] + section + text[text.index(end) + len(end):]
else:
    text = text.rstrip("\n") + "\n\n" + section + "\n"
open(path, "w", encoding="utf-8").write(text)
PY
}

# quentra_receiver BIN LOG ARGS...: starts `BIN serve ARGS`, output in LOG, and
# waits until it listens: sets receiver_pid and receiver_port; else exits 1.
quentra_receiver() {
  local bin=$1 log=$2; shift 2
  "$bin" serve "$@" >"$log" 2>&1 &
  receiver_pid=$!
  for _ in $(seq 100); do
    receiver_port=$(sed -n 's|^quentra-reports: listening on http://127\.0\.0\.1:\([0-9]*\)/.*|\1|p' "$log")
    [ -z "$receiver_port" ] || return 0
    kill -0 "$receiver_pid" 2>/dev/null && sleep 0.1 || break
  done
  kill "$receiver_pid" 2>/dev/null
  { echo "${0##*/}: the report receiver did not start ($bin serve $*):"; cat "$log"; } >&2
  exit 1
}

# quentra_postgres DIR: a PostgreSQL server of the script's own, Debian's
# initdb and pg_ctl in DIR (as the postgres user when run as root), on a Unix
# socket in DIR only; one a run before left there is stopped first.
# quentra_postgres_stop stops it; psql_ ARGS runs psql on it; pgdb NAME makes
# a database and prints its connection string.
quentra_postgres_tools() {
  pgbin=$(ls -d /usr/lib/postgresql/*/bin | sort -V | tail -1)
  as_pg=(); [ "$(id -u)" -eq 0 ] && as_pg=(runuser -u postgres --)
  return 0
}
quentra_postgres_stop() {
  quentra_postgres_tools
  [ ! -d "$pg_dir/data" ] || "${as_pg[@]}" "$pgbin/pg_ctl" -D "$pg_dir/data" -m fast -w stop >/dev/null 2>&1 || true
}
quentra_postgres() {
  pg_dir=$1
  quentra_postgres_stop
  rm -rf "$pg_dir" && mkdir -p "$pg_dir"
  [ ${#as_pg[@]} -eq 0 ] || chown postgres "$pg_dir"
  "${as_pg[@]}" "$pgbin/initdb" -D "$pg_dir/data" -A trust -U postgres -E UTF8 >"$pg_dir/init.log"
  "${as_pg[@]}" "$pgbin/pg_ctl" -D "$pg_dir/data" -l "$pg_dir/server.log" -w \
    -o "-k $pg_dir -c listen_addresses= -c max_connections=200" start >/dev/null
}
psql_() { "${as_pg[@]}" psql -h "$pg_dir" -U postgres -qAt "$@"; }
pgdb() { psql_ -d postgres -c "CREATE DATABASE $1"; echo "host=$pg_dir user=postgres dbname=$1"; }

# quentra_median_ms URL: the median of 5 timed requests of URL, in ms (the
# first, which warms the caches, not counted).
quentra_median_ms() {
  curl -s -o /dev/null "$1"
  for _ in 1 2 3 4 5; do curl -s -o /dev/null -w '%{time_total}\n' "$1"; done |
    sort -n | sed -n 3p | python3 -c "import sys; print(round(float(sys.stdin.read()) * 1000))"
}
