#!/usr/bin/env bash
# vm32.sh [--all] [--shape win32|wow64 ...] [--limit SECONDS] [--record]
#
# Runs the shipped 32-bit product where 32-bit code runs: in an emulated
# x86-64 machine (QEMU, no KVM needed) booting a Debian guest with Wine, on
# two Windows shapes:
#   win32  a 32-bit prefix: 32-bit Windows;
#   wow64  a 64-bit prefix with the 32-bit programs under WoW64: the 32-bit
#          tray on 64-bit Windows (HKLM\SOFTWARE through Wow6432Node, System32
#          through SysWOW64, a 64-bit machine for the native-architecture probe).
# On each it runs the whole cycle (all six exports: check, texts, accept,
# installer, both reports, and the 64-bit gate) on the release package's DLL
# and host, with the product's report host mapped to the loopback in the
# guest's hosts file and a receiver listening there; then the soak's create
# and load cycles: handles, threads, memory and the TLS indexes the process
# has left stay flat over 2,000 LoadLibrary/TCCreate/TCCheck/TCDestory/
# FreeLibrary cycles in one process (the 32-bit runtime's start-up and unload
# are the product's, not the twin's; a process has about 1,088 TLS indexes).
# With --all, first the test bundle (Quentra-tests-<version>-x86.zip),
# unpacked and run through its own run-tests.cmd as a host team's test machine
# would (about 12 minutes a shape under emulation, which the test command
# cannot afford), then the cycle, then the load cycles 10,000 times.
#
# The guest image is built from Debian's packages (scripts/vm32/image.sh) into
# build/vm32/image and rebuilt only when its recipe changes. The guest has no
# network: everything it runs comes on a work disk. Closes with one line,
# "N passed, M failed"; exits non-zero on any failure, or when the guest has
# not powered off within the limit (default 3600 s, with --all 10800 s).
# --record writes the run's closing lines and times into docs/performance.md
# (its own section).
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD
usage() {
  [ $# -eq 0 ] || echo "vm32.sh: $*" >&2
  echo "usage: scripts/vm32.sh [--all] [--shape win32|wow64 ...] [--limit SECONDS] [--record]" >&2
  exit 2
}
shapes=() limit= record=no parts="cycle soak" load_cycles=2000
while [ $# -gt 0 ]; do
  case "$1" in
    --shape) [ $# -ge 2 ] || usage "--shape needs win32 or wow64"
             [[ $2 =~ ^(win32|wow64)$ ]] || usage "--shape takes win32 or wow64, not '$2'"
             shapes+=("$2"); shift 2 ;;
    --limit) [ $# -ge 2 ] && [[ $2 =~ ^[1-9][0-9]*$ ]] || usage "--limit takes a number of seconds"
             limit=$2; shift 2 ;;
    --record) record=yes; shift ;;
    --all) parts="bundle cycle soak" load_cycles=10000; shift ;;
    *) usage "unknown option $1" ;;
  esac
done
[ ${#shapes[@]} -gt 0 ] || shapes=(win32 wow64)
# A load cycle takes 0.2 to 0.4 s under emulation.
[ -n "$limit" ] || { [ "$load_cycles" -gt 2000 ] && limit=10800 || limit=3600; }

scripts/bootstrap.sh
vm=$repo/build/vm32
image=$vm/image
run=$vm/run
mkdir -p "$image"

# ---- the product as shipped: the release ZIP and the test bundle
echo "== the 32-bit product and its packages (scripts/package.sh)"
scripts/package.sh >"$vm/package.log" 2>&1 || { tail -n 30 "$vm/package.log" >&2; echo "vm32.sh: scripts/package.sh failed" >&2; exit 1; }
cache=$repo/build/win32/CMakeCache.txt
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$cache")
origin=$(sed -n 's/^QUENTRA_REPORT_ORIGIN:[A-Z]*=//p' "$cache")
[[ $origin =~ ^http://([A-Za-z0-9.-]+)(:([0-9]+))?$ ]] ||
  { echo "vm32.sh: cannot use the report origin '$origin' of build/win32 (http://HOST[:PORT] expected)" >&2; exit 1; }
report_host=${BASH_REMATCH[1]} report_port=${BASH_REMATCH[3]:-80}
bundle=Quentra-tests-$version-x86.zip release=Quentra-$version-x86.zip
for z in "$bundle" "$release"; do
  [ -f "build/win32/package/$z" ] || { echo "vm32.sh: scripts/package.sh made no build/win32/package/$z" >&2; exit 1; }
done

# ---- the guest image, rebuilt when its recipe changes
recipe=$(cd scripts/vm32 && sha256sum image.sh packages.txt customize.sh init.sh | sha256sum | cut -c1-64)
if [ "$(cat "$image/recipe.sha256" 2>/dev/null)" != "$recipe" ] || [ ! -f "$image/root.img" ]; then
  echo "== building the guest image from Debian's packages (about 7 minutes; log in build/vm32/image-build.log)"
  rm -f "$image/recipe.sha256"
  t0=$(date +%s)
  nice -n 10 scripts/vm32/image.sh "$image" >"$vm/image-build.log" 2>&1 ||
    { tail -n 30 "$vm/image-build.log" >&2; echo "vm32.sh: the guest image could not be built" >&2; exit 1; }
  echo "$(( $(date +%s) - t0 ))" >"$image/build-seconds"
  echo "$recipe" >"$image/recipe.sha256"
  echo "   built in $(cat "$image/build-seconds") s, $(du -sh --apparent-size "$image/root.img" | cut -f1) root file system"
fi

# ---- the work disk: what the guest runs, and where it leaves the results
rm -rf "$run"
mkdir -p "$run/work/out"
cp scripts/vm32/guest-run.sh "$run/work/run.sh"
cp scripts/vm32/receiver.py "$run/work/"
cp "build/win32/package/$bundle" "build/win32/package/$release" "$run/work/"
cat >"$run/work/config" <<CONF
SHAPES="${shapes[*]}"
PARTS="$parts"
LOAD_CYCLES=$load_cycles
REPORT_HOST=$report_host
REPORT_PORT=$report_port
BUNDLE=$bundle
RELEASE=$release
CONF
mkfs.ext4 -q -F -L quentra-work -d "$run/work" "$run/work.img" 512M

# ---- the boot: the guest runs the work and powers itself off
echo "== booting the guest: ${shapes[*]}, $parts (limit $limit s; console in build/vm32/run/console.log)"
t0=$(date +%s)
set +e
# The VM's time runs from when the lock is held: another checkout's heavy
# job may hold it first.
TMPDIR=$run flock /tmp/quentra-heavy.lock sh -c 'date +%s >"$0/booted"; exec "$@"' "$run" \
  timeout "$limit" qemu-system-x86_64 \
  -accel tcg,thread=multi -smp 2 -m 4G -nic none -display none -no-reboot -monitor none \
  -serial "file:$run/console.log" \
  -kernel "$image/vmlinuz" -initrd "$image/initrd.img" \
  -append "root=/dev/vda rw console=ttyS0 init=/sbin/quentra-init quiet" \
  -drive "file=$image/root.img,format=raw,if=virtio,snapshot=on" \
  -drive "file=$run/work.img,format=raw,if=virtio" </dev/null >"$run/qemu.log" 2>&1
qemu_rc=$?
set -e
booted=$(cat "$run/booted" 2>/dev/null || echo "$t0")
seconds=$(( $(date +%s) - booted ))

failed=0 passed=0
if [ $qemu_rc -eq 124 ]; then
  echo "FAIL  the guest did not power off within $limit s"; failed=$((failed + 1))
elif [ $qemu_rc -ne 0 ]; then
  echo "FAIL  qemu-system-x86_64 exited with $qemu_rc:"; cat "$run/qemu.log"; failed=$((failed + 1))
fi
debugfs -R "rdump /out $run" "$run/work.img" >/dev/null 2>&1 || true
out=$run/out
[ -f "$out/finished" ] || { echo "FAIL  the guest's run did not finish; its console:"; tail -n 20 "$run/console.log"; \
  tail -n 20 "$out/console.log" 2>/dev/null; failed=$((failed + 1)); }

# ---- the results: the guest's own cases, then each shape's bundle run
echo "== in the guest"
if [ -f "$out/cases.txt" ]; then
  cat "$out/cases.txt"
  passed=$((passed + $(grep -c '^ok ' "$out/cases.txt" || true)))
  failed=$((failed + $(grep -c '^FAIL ' "$out/cases.txt" || true)))
fi
for s in "${shapes[@]}"; do
  [[ " $parts " == *" bundle "* ]] || continue
  closing=$(cat "$out/$s-bundle.closing" 2>/dev/null || true)
  if [[ $closing =~ ^([0-9]+)\ passed,\ ([0-9]+)\ failed$ ]]; then
    passed=$((passed + BASH_REMATCH[1])) failed=$((failed + BASH_REMATCH[2]))
    if [ "${BASH_REMATCH[2]}" -gt 0 ]; then
      echo "== $s: the bundle's failures (all logs in build/vm32/run/out/$s-bundle.log)"
      tr -d '\r' <"$out/$s-bundle.log" | grep -a '^FAIL' || true
    fi
  else
    echo "FAIL  $s: run-tests.cmd closed with no 'N passed, M failed' line; see build/vm32/run/out/$s-bundle.log"
    failed=$((failed + 1))
  fi
done
echo "== times"
[ -f "$image/build-seconds" ] && echo "image build $(cat "$image/build-seconds") s"
cat "$out/times.txt" 2>/dev/null || true
echo "whole VM run $seconds s"
[ "$booted" -le "$t0" ] || echo "waited for the heavy lock $((booted - t0)) s before it"
sed 's/^/closing: /' "$out/closing.txt" 2>/dev/null || true
echo "$passed passed, $failed failed"
[ "$record" = no ] || python3 scripts/vm32/record.py "$out" "$image" "$seconds" "$passed passed, $failed failed" "${shapes[@]}"
[ "$failed" -eq 0 ]
