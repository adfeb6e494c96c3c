#!/bin/busybox sh
# shellcheck shell=dash
# The guest's first process: mounts this machine's root read-only under a tmpfs overlay, runs the job's
# set-up and commands, writes their exit status into the job's folder and ends qemu through its exit device.
/bin/busybox --install -s /bin
kernel_filesystems() { mount -t proc proc "$1/proc"; mount -t sysfs sysfs "$1/sys"; mount -t devtmpfs devtmpfs "$1/dev"; }
kernel_filesystems
while read -r module; do insmod "/lib/modules/$module" || exit 1; done </modules
mkdir -p /host /job /rw /root
mount -t 9p -o @NINEP@,ro,cache=loose hostroot /host || exit 1
mount -t 9p -o @NINEP@,cache=none job /job || exit 1
mount -t tmpfs -o size=90% tmpfs /rw
mkdir -p /rw/upper /rw/work
mount -t overlay overlay -o lowerdir=/host,upperdir=/rw/upper,workdir=/rw/work /root || exit 1
kernel_filesystems /root
mkdir -p /root/dev/pts /root/dev/shm
mount -t devpts devpts /root/dev/pts
# Its own run-time folders (Wine's lie in the build folder's TMPDIR); /tmp stays ours.
for place in /root/run /root/dev/shm; do
  mkdir -p "$place" && mount -t tmpfs tmpfs "$place"
done
# shellcheck source=/dev/null  # the job's set-up, written per job
. /job/setup.sh || exit 1
stty -F /dev/ttyS1 raw -echo
echo "hexalift-guest: running"
# ttyS1 is qemu's output pipe: its last close waits until every byte has left.
chroot /root /bin/sh -c "$(cat /job/commands.sh)" </dev/null >/dev/ttyS1 2>&1
echo $? >/job/status.partial
sync
mv /job/status.partial /job/status
printf '\0' | dd of=/dev/port bs=1 seek=@EXIT_PORT@ count=1 2>/dev/null
poweroff -f
