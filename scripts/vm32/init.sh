#!/bin/sh
# The guest's first and only process: mounts what a run needs, then hands
# over to the run script on the work disk (/dev/vdb), whose results land on
# the same disk. Powers the machine off whatever the run did, so the host
# never waits for a guest that has nothing left to do.
PATH=/usr/sbin:/usr/bin:/sbin:/bin
export PATH
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev 2>/dev/null
mkdir -p /dev/pts /dev/shm /run /tmp
mount -t devpts devpts /dev/pts
mount -t tmpfs tmpfs /dev/shm
mount -t tmpfs tmpfs /run
mount -t tmpfs -o size=1G tmpfs /tmp
hostname quentra-vm
ip link set lo up 2>/dev/null || ifconfig lo up 2>/dev/null || true
mkdir -p /work
if mount -t ext4 /dev/vdb /work && [ -x /work/run.sh ]; then
  echo "quentra-vm: running the work"
  /work/run.sh >/work/out/console.log 2>&1
  echo "quentra-vm: work ended with $?"
  cat /work/out/summary.txt 2>/dev/null
else
  echo "quentra-vm: no work disk"
fi
sync
umount /work 2>/dev/null
sync
echo o >/proc/sysrq-trigger
sleep 30
