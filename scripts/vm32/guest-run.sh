#!/bin/bash
# Runs inside the emulated machine, from its work disk (/work): the 32-bit
# product as shipped, on 32-bit Windows (a win32 prefix) and on 64-bit Windows
# with the 32-bit tray (a win64 prefix, the 32-bit programs under WoW64).
# /work/config names the shapes and the parts; every result goes to
# /work/out: one line per case in cases.txt ("ok NAME" or "FAIL NAME: why"),
# and each shape's logs.
set -u
. /work/config   # SHAPES, PARTS, LOAD_CYCLES, REPORT_HOST, REPORT_PORT, BUNDLE, RELEASE
out=/work/out
mkdir -p "$out"
: >"$out/cases.txt"
# Progress goes to the serial console too, which the host keeps in a file.
say() { echo "quentra-vm: $*" >/dev/console; }
case_ok() { echo "ok    $1" | tee -a "$out/cases.txt" >/dev/console; sync; }
case_fail() { echo "FAIL  $1" | tee -a "$out/cases.txt" >/dev/console; sync; }
case_is() { if [ "$2" = "$3" ]; then case_ok "$1"; else case_fail "$1: '$2', expected '$3'"; fi; }
now() { date +%s; }

# The loopback interface: the init brings it up with ip(8) where there is
# one; a minimal system has none, so ask the kernel directly.
python3 - <<'PY'
import fcntl, socket, struct
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
flags = struct.unpack("16sH", fcntl.ioctl(s, 0x8913, struct.pack("16sH", b"lo", 0)))[1]  # SIOCGIFFLAGS
fcntl.ioctl(s, 0x8914, struct.pack("16sH", b"lo", flags | 0x1))  # SIOCSIFFLAGS, IFF_UP
PY

hosts_plain() { printf '127.0.0.1\tlocalhost quentra-vm\n' >/etc/hosts; }
hosts_mapped() { hosts_plain; printf '127.0.0.1\t%s\n' "$REPORT_HOST" >>/etc/hosts; }

export LANG=zh_CN.UTF-8 LC_ALL=zh_CN.UTF-8 WINEDEBUG=-all HOME=/root
export WINEDLLOVERRIDES="winemenubuilder.exe=d;mscoree=d;mshtml=d"
unset DISPLAY

# ---- one Windows shape: its prefix, its loader, its wineserver
enter_shape() {
  shape=$1
  export WINEPREFIX=/root/prefix-$shape
  case $shape in
    win32) export WINEARCH=win32; wine=/usr/lib/wine/wine; wineserver=/usr/lib/wine/wineserver32 ;;
    wow64) export WINEARCH=win64; wine=/usr/lib/wine/wine64; wineserver=/usr/lib/wine/wineserver64 ;;
  esac
  [ -x "$wineserver" ] || wineserver=$(command -v wineserver)
  local t0; t0=$(now)
  say "$shape: making the prefix"
  "$wine" wineboot -i >"$out/$shape-prefix.log" 2>&1
  "$wineserver" -w
  echo "$shape prefix $(( $(now) - t0 )) s" >>"$out/times.txt"
  # One wineserver for the whole shape: a cold start per program costs
  # seconds under emulation.
  "$wineserver" -p
  drive=$WINEPREFIX/drive_c
  desktop=$(find "$drive/users" -mindepth 2 -maxdepth 2 -name Desktop ! -path '*/Public/*' | head -n 1)
  common=$drive/users/Public/Desktop
  [ -d "$desktop" ] && [ ! -L "$desktop" ] || { rm -f "$desktop"; mkdir -p "$desktop"; }
  mkdir -p "$common"
}
# The prefix goes with its shape: the guest's root file system has room for
# one prefix with the bundle's results, not for both.
leave_shape() { "$wineserver" -k 2>/dev/null; "$wineserver" -w 2>/dev/null; rm -rf "$WINEPREFIX"; }

# What the shape shows a 32-bit process; the twin (64-bit, on 64-bit Windows)
# sees none of the redirection.
shape_facts() {
  local arch sys
  arch=$("$wine" C:\\windows\\syswow64\\cmd.exe /c 'echo %PROCESSOR_ARCHITECTURE% %PROCESSOR_ARCHITEW6432%' 2>/dev/null | tr -d '\r')
  [ "$shape" = win32 ] && arch=$("$wine" cmd /c 'echo %PROCESSOR_ARCHITECTURE% %PROCESSOR_ARCHITEW6432%' 2>/dev/null | tr -d '\r')
  case $shape in
    win32) case_is "$shape: a 32-bit process sees an x86 machine" "$arch" "x86 %PROCESSOR_ARCHITEW6432%"
           [ ! -d "$drive/windows/syswow64" ]; case_is "$shape: no SysWOW64" $? 0 ;;
    wow64) case_is "$shape: a 32-bit process is told the machine is AMD64" "$arch" "x86 AMD64"
           [ -d "$drive/windows/syswow64" ]; case_is "$shape: SysWOW64 holds the 32-bit system" $? 0 ;;
  esac
}

# ---- the tester's own things on the desktops, which the bundle must leave
# as it found them: a shortcut, a folder and a link to a folder named like
# shortcuts, and on the common desktop a shortcut of the very name that a test
# writes there.
tester_things() {
  rm -rf /root/tester-target; mkdir -p /root/tester-target
  printf 'kept' >/root/tester-target/keep.lnk
  printf 'tester shortcut' >"$desktop/Tester.lnk"
  mkdir -p "$desktop/Folder.lnk"; printf 'inside' >"$desktop/Folder.lnk/inside.lnk"
  ln -sfn /root/tester-target "$desktop/Linked.lnk"
  printf 'tester common' >"$common/Quillstorm.lnk"
  printf 'tester common 2' >"$common/Common.lnk"
}
tester_things_kept() {
  local what=$1 missing=()
  [ "$(cat "$desktop/Tester.lnk" 2>/dev/null)" = "tester shortcut" ] || missing+=("Desktop\\Tester.lnk")
  [ "$(cat "$desktop/Folder.lnk/inside.lnk" 2>/dev/null)" = inside ] || missing+=("Desktop\\Folder.lnk\\inside.lnk")
  [ -L "$desktop/Linked.lnk" ] || missing+=("the link Desktop\\Linked.lnk")
  [ "$(cat /root/tester-target/keep.lnk 2>/dev/null)" = kept ] || missing+=("the link's target's keep.lnk")
  [ "$(cat "$common/Quillstorm.lnk" 2>/dev/null)" = "tester common" ] || missing+=("Public\\Desktop\\Quillstorm.lnk")
  [ "$(cat "$common/Common.lnk" 2>/dev/null)" = "tester common 2" ] || missing+=("Public\\Desktop\\Common.lnk")
  local extra; extra=$(cd "$desktop" && ls -A | grep -v -x -e Tester.lnk -e Folder.lnk -e Linked.lnk | tr '\n' ' ')
  [ -z "$extra" ] || missing+=("the desktop also holds $extra")
  if [ ${#missing[@]} -eq 0 ]; then case_ok "$shape: $what leaves the tester's desktops as they were"
  else case_fail "$shape: $what leaves the tester's desktops as they were: not ${missing[*]}"; fi
}

# ---- the test bundle, through its own run-tests.cmd
run_bundle() {
  local top dir t0 code
  top=$(basename "$BUNDLE" .zip)
  rm -rf "$drive/$top"
  unzip -q "/work/$BUNDLE" -d "$drive"
  dir=$drive/$top
  tester_things

  # Without the report host mapped to the loopback, it must not start.
  hosts_plain
  (cd "$dir" && "$wine" cmd /c run-tests.cmd) >"$out/$shape-refused.log" 2>&1
  code=$?
  case_is "$shape: run-tests.cmd refuses while $REPORT_HOST is not the loopback (exit code)" "$code" 2
  grep -q "hosts" "$out/$shape-refused.log"; case_is "$shape: ... and says to map it in hosts" $? 0
  [ ! -d "$dir/machine-backup" ] && [ ! -d "$dir/results" ]; case_is "$shape: ... having changed nothing" $? 0

  hosts_mapped
  # What run-tests.cmd reads to tell where the report host points.
  "$wine" cmd /c "ping -n 1 -w 1000 $REPORT_HOST" >"$out/$shape-ping.log" 2>&1
  t0=$(now)
  say "$shape: run-tests.cmd"
  (cd "$dir" && "$wine" cmd /c run-tests.cmd) >"$out/$shape-bundle.log" 2>&1
  code=$?
  echo "$shape bundle $(( $(now) - t0 )) s" >>"$out/times.txt"
  cp -r "$dir/results" "$out/$shape-results" 2>/dev/null
  local closing; closing=$(tr -d '\r' <"$out/$shape-bundle.log" | grep -E '^[0-9]+ passed, [0-9]+ failed$' | tail -n 1)
  echo "$shape bundle: $closing (exit code $code)" >>"$out/closing.txt"
  echo "$closing" >"$out/$shape-bundle.closing"
  case_is "$shape: run-tests.cmd exit code" "$code" 0
  [ ! -e "$dir/machine-backup" ]; case_is "$shape: run-tests.cmd removed its backup" $? 0
  tester_things_kept "run-tests.cmd"
}

# ---- the whole cycle on the release package's DLL and host: check, texts,
# accept, installer started, both reports stored by a receiver on the
# loopback, where the product's report host points.
run_cycle() {
  local rel suite tray host_out code
  rel=$drive/release; rm -rf "$rel"; mkdir -p "$rel"
  unzip -q "/work/$RELEASE" -d "$rel"; rel=$(echo "$rel"/*)
  local tests; tests=$drive/$(basename "$BUNDLE" .zip)
  [ -d "$tests" ] || unzip -q "/work/$BUNDLE" -d "$drive"
  suite=$drive/CorvelSafe; tray=$suite/Tray
  rm -rf "$suite"; mkdir -p "$suite/modules" "$tray"
  printf 'MZ stand-in for the suite main program\n' >"$suite/Corvelsafe.exe"
  cp "$tests/standins/Corvelinst.exe" "$suite/modules/Corvelinst.exe"
  cp "$tests/standins/verify/Corvelverify.dll" "$suite/Corvelverify.dll"
  printf 'VM PC&32' >"$suite/cid.txt"
  cp "$rel/tools/quentra-host.exe" "$rel/Quentra.dll" "$rel/examples/quentracfg.dat" "$tray/"
  printf '[NoNotify]\r\n' >"$tray/config.ini"
  # The desktop: two shortcuts the sample campaign looks for.
  find "$desktop" -maxdepth 1 -type f -name '*.lnk' -delete
  python3 - "$rel/examples/quentracfg.ini" <<'PY' | while IFS= read -r name; do printf 'L' >"$desktop/$name.lnk"; done
import sys
section, games = None, []
for line in open(sys.argv[1], "rb").read().decode("gbk").splitlines():
    line = line.strip()
    if line.startswith("["):
        section = line.strip("[]")
    elif section == "GameScan" and "=" in line:
        key, value = line.split("=", 1)
        if key.strip()[-1:] in ("m", "o") and value.strip():
            games.append(value.strip())
print(games[0])
PY
  # The suite as its 32-bit installer registers it: in the 32-bit view.
  printf 'REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths\\Corvelsafe.exe]\r\n@="C:\\\\CorvelSafe\\\\Corvelsafe.exe"\r\n"Path"="C:\\\\CorvelSafe"\r\n\r\n[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths\\Corvelsafebox.exe]\r\n\r\n[-HKEY_LOCAL_MACHINE\\SOFTWARE\\CorvelSafe\\Tavrik]\r\n' >"$drive/cycle.reg"
  "$wine" reg import 'C:\cycle.reg' /reg:32 >"$out/$shape-cycle-reg.log" 2>&1
  case_is "$shape cycle: the suite registered in the 32-bit view" $? 0

  hosts_mapped
  local log=$out/$shape-receiver.log
  : >"$log"
  python3 /work/receiver.py "$REPORT_PORT" "$log" >"$out/$shape-receiver.out" 2>&1 &
  local receiver=$!
  for _ in $(seq 50); do grep -q listening "$out/$shape-receiver.out" && break; sleep 0.2; done
  host_out=$out/$shape-cycle.log
  say "$shape: the whole cycle"
  (cd "$tray" && "$wine" 'C:\CorvelSafe\Tray\quentra-host.exe' run 'C:\CorvelSafe\Tray\Quentra.dll' \
      --accept --user-delay 1500 --checks 2 --wait-reports 60000) >"$host_out" 2>&1
  code=$?
  kill "$receiver" 2>/dev/null; wait "$receiver" 2>/dev/null
  tr -d '\r' <"$host_out" >"$host_out.txt"
  case_is "$shape cycle: quentra-host run exit code" "$code" 0
  case_is "$shape cycle: the checks answer 1, then 0" "$(grep -a '^check ' "$host_out.txt" | awk '{print $2}' | tr '\n' ' ')" "1 0 "
  grep -aq '^title ' "$host_out.txt" && grep -aq '^message ' "$host_out.txt"
  case_is "$shape cycle: the balloon's texts came through TCEnum" $? 0
  grep -aq '^install   1' "$host_out.txt"; case_is "$shape cycle: the install command answered 1" $? 0
  grep -aq '^cmd=' "$suite/modules/Corvelinst.log" 2>/dev/null; case_is "$shape cycle: the installer started" $? 0
  cp "$suite/modules/Corvelinst.log" "$out/$shape-installer.log" 2>/dev/null
  grep -q 'GET /[^ ]*[?&]t=0[& ]' "$log"; case_is "$shape cycle: the showing report (t=0) reached the receiver" $? 0
  grep -q 'GET /[^ ]*[?&]t=1[& ]' "$log"; case_is "$shape cycle: the install report (t=1) reached the receiver" $? 0
  grep -q 'VM%20PC%2632' "$log"; case_is "$shape cycle: the reports name the machine, percent-encoded" $? 0

  # SuportX64=0 keeps a campaign off 64-bit Windows. The 32-bit tray on
  # 64-bit Windows must count as 64-bit: the campaign's author means the
  # user's Windows, not the tray's build, so the plug-in asks for the native
  # architecture, and the answer differs between the two shapes.
  sed 's/^SuportX64=1/SuportX64=0/' "$rel/examples/quentracfg.ini" >"$drive/x64.ini"
  rm -f "$tray/quentracfg.dat"
  grep -q '^SuportX64=0' "$drive/x64.ini" && "$wine" "$rel/tools/quentra-campaign.exe" encode 'C:\x64.ini' \
    'C:\CorvelSafe\Tray\quentracfg.dat' >"$out/$shape-x64-encode.log" 2>&1
  case_is "$shape cycle: the sample campaign with SuportX64=0, encoded by quentra-campaign" $? 0
  "$wine" reg delete 'HKLM\SOFTWARE\CorvelSafe\Tavrik' /f /reg:32 >/dev/null 2>&1
  (cd "$tray" && "$wine" 'C:\CorvelSafe\Tray\quentra-host.exe' run 'C:\CorvelSafe\Tray\Quentra.dll' --checks 1 \
     && "$wine" 'C:\CorvelSafe\Tray\quentra-host.exe' doctor 'C:\CorvelSafe\Tray\Quentra.dll') >"$out/$shape-x64.log" 2>&1
  local x64; x64=$(tr -d '\r' <"$out/$shape-x64.log" | awk '$1 == "check" {print $2}')
  case $shape in
    win32) case_is "$shape cycle: SuportX64=0 still shows on 32-bit Windows" "$x64" 1 ;;
    wow64) case_is "$shape cycle: SuportX64=0 keeps the 32-bit tray on 64-bit Windows quiet" "$x64" 0 ;;
  esac
  hosts_plain
}

# ---- the soak's create and load cycles on the product itself: the 32-bit
# runtime's own start-up and unload on every load, LOAD_CYCLES times in one
# process (more than the about 1,088 TLS indexes a process has, so a load
# that kept one would run out). Its check cycles take minutes under
# emulation; the bundle's soak runs them.
run_soak() {
  local tests=$drive/$(basename "$BUNDLE" .zip) log=$out/$shape-soak.log
  [ -d "$tests" ] || unzip -q "/work/$BUNDLE" -d "$drive"
  say "$shape: the soak's create cycles and $LOAD_CYCLES load cycles"
  (cd "$tests" && "$wine" quentra-soak.exe 0 100 "$LOAD_CYCLES") >"$log" 2>&1
  local code=$? grew= loads
  tr -d '\r' <"$log" | grep -a '^load/create/destroy/free cycles' >"$out/$shape-soak.loads"
  loads=$(awk '$3 == "before" || $3 == "after" {printf "%s%s %s", sep, $NF, $3; sep=", "}' "$out/$shape-soak.loads")
  [ $code -eq 0 ] || grew=" ($(tr -d '\r' <"$log" | grep -a -e 'GREW' -e ' handles$' -e 'failed (error' | tr -s ' ' | tr '\n' ';'))"
  case_is "$shape: $LOAD_CYCLES load cycles and 100 create cycles stay flat (TLS indexes free: ${loads:-none printed})$grew" "$code" 0
  sed "s/^/$shape soak: /" "$out/$shape-soak.loads" >>"$out/closing.txt"
}

echo "boot to the work $(cut -d. -f1 /proc/uptime) s" >>"$out/times.txt"
t_all=$(now)
for s in $SHAPES; do
  enter_shape "$s"
  shape_facts
  case " $PARTS " in *" bundle "*) run_bundle ;; esac
  t0=$(now)
  case " $PARTS " in *" cycle "*) run_cycle; echo "$s cycle $(( $(now) - t0 )) s" >>"$out/times.txt" ;; esac
  t0=$(now)
  case " $PARTS " in *" soak "*) run_soak; echo "$s soak $(( $(now) - t0 )) s" >>"$out/times.txt" ;; esac
  leave_shape
done
echo "guest total $(( $(now) - t_all )) s" >>"$out/times.txt"
echo done >"$out/finished"
