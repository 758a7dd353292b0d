# The guest's second stage, run by the initramfs's busybox sh from the control
# folder (/newroot/run/odflsh-vm). It makes the host's root a usable system
# (the host's /tmp, writable /run, /dev, /proc, /sys), shares the caller's folder at its
# own path, loads the SCSI modules, makes the devices, runs the command as
# root in the caller's folder, and leaves its outputs in the control folder:
#   out, err   the command's standard output and standard error
#   rc         its exit code (written last; without it the run failed)
#   trace      the tracepoint's lines while the command ran (--trace)
#   state      the simulated drives' final state lines (--drive)
# settings (sourced) names the caller's folder, the module folder and what to
# set up.
set -u
root=/newroot
control=$root/run/odflsh-vm
. "$control/settings"

fail() {
  echo "odflsh-vm guest: $*"
  echo "odflsh-vm guest: $*" >>"$control/err"
  sync
  poweroff -f
}

# The host's /tmp is the guest's: a build tree or a clone of this project may
# well lie there. Sockets work only on a local file system: an X server's
# get a tmpfs of their own there, and a Wine server's go to root's runtime
# folder (/run/user/0, on the guest's /run), which Debian's Wine prefers to /tmp.
mount -t 9p -o trans=virtio,version=9p2000.L,msize=512000,cache=mmap hosttmp "$root/tmp" ||
  fail "the host's /tmp (9p) did not mount"
mkdir -p "$root/tmp/.X11-unix" && mount -t tmpfs -o mode=1777 tmpfs "$root/tmp/.X11-unix" ||
  fail "no tmpfs on /tmp/.X11-unix"
mkdir -p -m 0700 "$root/run/user/0" || fail "no /run/user/0"
mount -t devtmpfs devtmpfs "$root/dev" || fail "no /dev"
mkdir -p "$root/dev/pts" "$root/dev/shm"
mount -t devpts -o gid=5,mode=620,ptmxmode=666 devpts "$root/dev/pts" || fail "no /dev/pts"
mount -t tmpfs -o mode=1777 tmpfs "$root/dev/shm"
mount -t proc proc "$root/proc" || fail "no /proc"
mount -t sysfs sysfs "$root/sys" || fail "no /sys"
mount -t tracefs tracefs "$root/sys/kernel/tracing" || fail "no tracefs"
# Before any drive appears, so that its polling starts as on a user's machine.
if [ -n "$vm_media_poll" ]; then
  echo "$vm_media_poll" >"$root/sys/module/block/parameters/events_dfl_poll_msecs" ||
    fail "the default media polling cannot be set to $vm_media_poll ms"
fi
# The root itself stays read-only: it cannot be mounted over.
if [ "$vm_cwd" != / ]; then
  mkdir -p "$root$vm_cwd" 2>/dev/null
  mount -t 9p -o trans=virtio,version=9p2000.L,msize=512000,cache=mmap folder "$root$vm_cwd" ||
    fail "the current folder $vm_cwd (9p) did not mount"
fi

load() {
  while read -r module; do
    [ -n "$module" ] || continue
    insmod "$root$vm_modules/$module" || fail "insmod $module failed"
  done <"$control/$1"
}

# The devices, each given time to appear as /dev/srN: scsi_debug first, then
# the simulated drives in the order given.
expected=0
tcmu_pid=
wait_for_devices() {
  n=0
  while [ "$n" -lt 600 ]; do
    if [ -e "$root/dev/sr$((expected - 1))" ]; then
      [ "$vm_sg" = 0 ] || [ -e "$root/dev/sg$((expected - 1))" ] && return 0
    fi
    if [ -n "$tcmu_pid" ] && ! kill -0 "$tcmu_pid" 2>/dev/null; then
      cat "$control/tcmu.log"
      fail "odflsh-tcmu ended before its drives appeared: $(cat "$control/tcmu.log")"
    fi
    sleep 0.1
    n=$((n + 1))
  done
  fail "/dev/sr$((expected - 1)) did not appear within 60 s"
}

if [ "$vm_scsi_debug" = 1 ] || [ "$vm_drives" -gt 0 ]; then
  load modules.scsi
fi
if [ "$vm_scsi_debug" = 1 ]; then
  IFS= read -r params <"$control/scsi_debug.params"
  insmod "$root$vm_modules/scsi_debug.ko" "$params" || fail "insmod scsi_debug $params failed"
  expected=$((expected + 1))
  wait_for_devices
fi
if [ "$vm_drives" -gt 0 ]; then
  load modules.tcmu
  mount -t configfs configfs "$root/sys/kernel/config" || fail "no configfs"
  chroot "$root" /bin/sh /run/odflsh-vm/tcmu.sh >"$control/tcmu.log" 2>&1 &
  tcmu_pid=$!
  expected=$((expected + vm_drives))
  wait_for_devices
fi

tracing=$root/sys/kernel/tracing
if [ "$vm_trace" = 1 ]; then
  echo 4096 >"$tracing/buffer_size_kb"
  # A command may read the trace while it runs (to wait for a command to
  # reach a drive) without pausing it.
  echo 0 >"$tracing/options/pause-on-trace"
  echo 1 >"$tracing/events/scsi/scsi_dispatch_cmd_start/enable"
  # SG_IO calls (0x2285) and their returns, so that a reader can tell the
  # commands a program sent from those the sr driver sent on its own.
  echo 'cmd == 0x2285' >"$tracing/events/syscalls/sys_enter_ioctl/filter"
  echo 1 >"$tracing/events/syscalls/sys_enter_ioctl/enable"
  echo 1 >"$tracing/events/syscalls/sys_exit_ioctl/enable"
  echo >"$tracing/trace"
  echo 1 >"$tracing/tracing_on"
fi

chroot "$root" /usr/bin/env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
  HOME=/root /bin/sh /run/odflsh-vm/command.sh <"$control/stdin" >"$control/out" 2>"$control/err"
rc=$?

if [ "$vm_trace" = 1 ]; then
  echo 0 >"$tracing/tracing_on"
  cat "$tracing/trace" >"$control/trace"
fi
if [ -n "$tcmu_pid" ]; then
  kill -TERM "$tcmu_pid"
  wait "$tcmu_pid"
fi
echo "$rc" >"$control/rc"
sync
poweroff -f
