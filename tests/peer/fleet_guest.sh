#!/bin/sh
# A managed machine of the fleet check. The peer VM's /init runs this as
# /probe (root, busybox, PATH=/bin). It builds the machine's root from the
# host's root (virtio-9p, read-only) under a throwaway tmpfs layer, brings up
# the network of QEMU's user networking, optionally serves a drive of our own
# (/data/drive-server, started before sshd so the drive is there when the
# first login comes), and runs sshd in the foreground: the VM lives until the
# host ends it.
PATH=/bin
R=/newroot
log() { echo "fleet-vm: $* at $(cut -d' ' -f1 /proc/uptime)s" > /dev/console; }
die() { log "FAILED: $*"; exit 125; }

mkdir -p /host /ovl "$R"
mount -t 9p -o trans=virtio,version=9p2000.L,ro,cache=loose,msize=262144 hostroot /host ||
  die "mount 9p hostroot"
mount -t tmpfs -o mode=755 tmpfs /ovl || die "tmpfs"
mkdir -p /ovl/upper /ovl/work
mount -t overlay overlay -o lowerdir=/host,upperdir=/ovl/upper,workdir=/ovl/work "$R" ||
  die "overlay"
mount -t devtmpfs devtmpfs "$R/dev" || die "devtmpfs"
mkdir -p "$R/dev/pts" "$R/dev/shm"
mount -t devpts devpts "$R/dev/pts"
mount -t tmpfs -o mode=1777 tmpfs "$R/dev/shm"
mount -t proc proc "$R/proc" || die "proc"
mount -t sysfs sysfs "$R/sys" || die "sysfs"
# The host's /run, /tmp and root's home (its shell start-up files) come
# through the layer: start them empty, as on a freshly installed machine.
mount -t tmpfs -o mode=755 tmpfs "$R/run" || die "tmpfs /run"
mount -t tmpfs -o mode=1777 tmpfs "$R/tmp" || die "tmpfs /tmp"
mount -t tmpfs -o mode=700 tmpfs "$R/root" || die "tmpfs /root"
mkdir -p "$R/run/sshd" "$R/run/fleet"
cp -a /data/. "$R/run/fleet/" || die "copy /data"
log "root ready"

name=$(cat /data/name 2>/dev/null) && hostname "$name" && echo "$name" > "$R/run/fleet/hostname"
ip link set lo up
ip link set eth0 up || die "no network device"
ip addr add 10.0.2.15/24 dev eth0
ip route add default via 10.0.2.2

if [ -x /data/drive-server ]; then
  (cd /data && FLEET_ROOT=$R exec /data/drive-server) > /dev/console 2>&1 &
  i=0
  while [ ! -e /tmp/drive-ready ] && [ $i -lt 600 ]; do sleep 0.1; i=$((i + 1)); done
  [ -e /tmp/drive-ready ] || die "the served drive did not come up"
  log "drive served"
fi
ls -l /dev/sr* /dev/sg* > /dev/console 2>&1

cat > "$R/run/fleet/sshd_config" <<CONF
Port 22
HostKey /run/fleet/ssh_host_ed25519_key
AuthorizedKeysFile /run/fleet/authorized_keys
PermitRootLogin prohibit-password
PasswordAuthentication no
KbdInteractiveAuthentication no
UsePAM no
StrictModes no
UseDNS no
PidFile /run/sshd.pid
Subsystem sftp /usr/lib/openssh/sftp-server
CONF
chmod 600 "$R/run/fleet/ssh_host_ed25519_key"
log "starting sshd"
chroot "$R" /usr/sbin/sshd -D -e -f /run/fleet/sshd_config
die "sshd ended ($?)"
