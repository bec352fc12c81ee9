#!/bin/sh
# unit_sandbox.sh INSTANCE_DIR PROGRAM_DIR COMMAND [ARGS...]
# Runs COMMAND in INSTANCE_DIR under the restrictions of the sipper units
# that namespaces can make without systemd: PrivateNetwork=, PrivateIPC=,
# PrivateTmp=, PrivateDevices= (a /dev of its own holding the host's
# /dev/shm, as systemd makes it), ProtectSystem=strict with INSTANCE_DIR
# writable (PROGRAM_DIR, the unpacked package, read-only), ProtectHome=,
# NoNewPrivileges=, an empty CapabilityBoundingSet= and UMask=0077. Not
# emulated: SystemCallFilter=, MemoryDenyWriteExecute=, PrivateUsers= and
# the Protect*= settings of the kernel. The process keeps its pid (no pid
# namespace), so a caller outside can signal it and its children.
set -eu
[ $# -ge 3 ] || { echo "usage: $0 INSTANCE_DIR PROGRAM_DIR COMMAND [ARGS...]" >&2; exit 64; }
user=""
[ "$(id -u)" -eq 0 ] || user="--map-root-user"
# shellcheck disable=SC2016,SC2086
exec unshare --mount --net --ipc $user sh -eu -c '
instance=$1 programs=$2
shift 2
mount -n --make-rprivate /
mount -n -t tmpfs -o mode=1777 tmpfs /var/tmp
stage=/var/tmp/.sandbox
mkdir -p $stage/instance $stage/programs $stage/dev
mount -n --bind "$instance" $stage/instance
mount -n --bind "$programs" $stage/programs
findmnt -rno TARGET | while read -r m; do
  case "$m" in /dev|/dev/*|/proc|/proc/*|/sys|/sys/*|/var/tmp|/var/tmp/*) continue ;; esac
  mount -n -o remount,bind,ro "$m" 2>/dev/null || true
done
mount -n -o remount,bind,ro $stage/programs
for home in /home /root /run/user; do
  [ -d $home ] && mount -t tmpfs -o mode=0755 tmpfs $home
done
mount -n -t tmpfs -o mode=1777 tmpfs /tmp
mkdir -p "$instance" "$programs" 2>/dev/null || true
mount -n --move $stage/instance "$instance"
mount -n --move $stage/programs "$programs"
mount -n -t tmpfs -o mode=0755 tmpfs $stage/dev
for node in null zero full random urandom; do
  touch $stage/dev/$node
  mount -n --bind /dev/$node $stage/dev/$node
done
mkdir $stage/dev/shm
mount -n --bind /dev/shm $stage/dev/shm
mount -n --move $stage/dev /dev
cd "$instance"
umask 0077
exec setpriv --no-new-privs --bounding-set=-all --inh-caps=-all "$@"
' unit_sandbox "$@"
