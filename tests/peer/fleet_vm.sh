#!/usr/bin/env bash
# Throwaway machines for the fleet check: QEMU VMs (TCG) side by side, each a
# managed machine reachable by SSH on a loopback port (QEMU's user networking
# with a host port forward; the guest cannot reach anything else). The VM
# boots the peer harness's kernel and busybox (../shared/qemu-peer, set up
# once); its root is the host's root shared read-only under a throwaway layer,
# so sshd, python3 and the network come from this machine and a run never
# changes it.
#
#   fleet_vm.sh prepare DIR              keys and the VMs' common boot archive in DIR
#   fleet_vm.sh start DIR NAME DRIVE [FILE...]
#       boots NAME in the background; DRIVE is one of
#         none          no optical drive at all
#         qemu:PROPS    QEMU's own drive (virtio-scsi, a disc in), PROPS as
#                       scsi-cd properties, e.g. vendor=V,product=P,ver=R
#         served:PROG   a drive of our own: PROG (a static program or busybox
#                       script) runs in the guest before sshd, with cwd /data
#                       (the FILEs), FLEET_ROOT set to the machine's root, and
#                       must create /tmp/drive-ready within 60 s
#   fleet_vm.sh wait DIR NAME... [--bound SECONDS]
#       polls each VM's sshd until it answers (default bound 120 s)
#   fleet_vm.sh ssh DIR NAME COMMAND...  runs COMMAND on NAME as root
#   fleet_vm.sh stop DIR NAME...         ends the VMs, saying the CPU time each took
#   fleet_vm.sh inventory DIR NAME...    Ansible inventory lines for the VMs
#
# Per VM in DIR/NAME: port, pid, console.log (kernel and guest set-up),
# stderr.txt (sshd's and the served drive's messages), qemu.cmd.
# Env: PEER_WORK (as the peer harness), FLEET_VM_MEM (MiB, default 384),
#      FLEET_VM_TIMEOUT (seconds a VM may live, default 600), FLEET_VM_QEMU_ARGS.
set -uo pipefail
HERE=$(cd "$(dirname "$0")" && pwd)
export PEER_WORK=${PEER_WORK:-${TMPDIR:-/tmp}/qemu-peer}
B=$PEER_WORK/build
die() { echo "fleet_vm: $*" >&2; exit 125; }
[ $# -ge 2 ] || die "usage: fleet_vm.sh prepare|start|wait|ssh|stop|inventory DIR ..."
verb=$1 D=$2; shift 2

ssh_opts() {  # ssh_opts NAME: options for reaching NAME
  echo "-o BatchMode=yes -o ConnectTimeout=5 -o UserKnownHostsFile=$D/known_hosts" \
       "-o StrictHostKeyChecking=yes -o LogLevel=ERROR -i $D/id_ed25519 -p $(cat "$D/$1/port")"
}

prepare() {
  [ -f "$B/base.cpio" ] && [ -f "$B/kver" ] || die "run the peer harness's setup.sh first"
  mkdir -p "$D" || die "cannot make $D"
  rm -f "$D/id_ed25519" "$D/id_ed25519.pub" "$D/host_key" "$D/host_key.pub"
  ssh-keygen -q -t ed25519 -N '' -C fleet-controller -f "$D/id_ed25519" || die "ssh-keygen"
  ssh-keygen -q -t ed25519 -N '' -C fleet-vm -f "$D/host_key" || die "ssh-keygen"
  : > "$D/known_hosts"
  # The network driver, the shared root and its layer come from the VM's own kernel.
  local kver md r m path dep
  kver=$(cat "$B/kver"); md=$B/kernel/lib/modules/$kver
  r=$D/cpio-root
  rm -rf "$r" && mkdir -p "$r/lib/modules" || die "cannot make $r"
  cp "$B/root/modules.order" "$r/modules.order"
  declare -A have=()
  for m in $(cat "$B/root/modules.order"); do have[$m]=1; done
  add_mod() {
    local m=$1 path dep
    [ -n "${have[$m]:-}" ] && return
    path=$(grep -E "(^|/)$m\.ko(\.[a-z]+)?:" "$md/modules.dep" | cut -d: -f1)
    [ -n "$path" ] || die "module $m not in kernel $kver"
    for dep in $(/sbin/modinfo -b "$B/kernel" -k "$kver" -F depends "$m" | tr , ' '); do add_mod "$dep"; done
    case $path in *.ko) cp "$md/$path" "$r/lib/modules/$m.ko" ;;
                  *.xz) xz -dc "$md/$path" > "$r/lib/modules/$m.ko" ;;
                  *.zst) zstd -qdc "$md/$path" > "$r/lib/modules/$m.ko" ;; esac
    echo "$m" >> "$r/modules.order"
    have[$m]=1
  }
  for m in netfs fscache 9pnet 9pnet_virtio 9p overlay failover net_failover virtio_net; do add_mod "$m"; done
  install -m 0755 "$HERE/fleet_guest.sh" "$r/probe"
  : > "$r/probe.args"
  (cd "$r" && find . -mindepth 1 | sort | cpio -o -H newc --quiet -R 0:0) > "$D/fleet.cpio" ||
    die "cpio"
}

free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

start() {
  local name=$1 drive=$2; shift 2
  local out=$D/$name stage drive_args=() wait_s=0 f port props
  [ -f "$D/fleet.cpio" ] || die "run fleet_vm.sh prepare $D first"
  rm -rf "$out" && mkdir -p "$out/data" || die "cannot make $out"
  stage=$out/data
  echo "$name" > "$stage/name"
  cp "$D/host_key" "$stage/ssh_host_ed25519_key" && cp "$D/id_ed25519.pub" "$stage/authorized_keys" ||
    die "keys"
  for f in "$@"; do cp -a "$f" "$stage/" || die "cannot copy '$f'"; done
  case $drive in
    none) ;;
    qemu:*) props=${drive#qemu:}
            drive_args=(-device virtio-scsi-pci,id=scsi0
                        -drive "id=cd,if=none,media=cdrom,file=$B/disc.iso,format=raw,readonly=on"
                        -device "scsi-cd,bus=scsi0.0,drive=cd${props:+,$props}")
            wait_s=30
            if [ ! -f "$B/disc.iso" ]; then
              mkdir -p "$B/isoroot" && echo "qemu-peer test medium" > "$B/isoroot/README.TXT"
              xorriso -as mkisofs -quiet -V PEERDISC -o "$B/disc.iso" "$B/isoroot" 2>/dev/null ||
                die "xorriso"
            fi ;;
    served:*) install -m 0755 "${drive#served:}" "$stage/drive-server" || die "no drive server" ;;
    *) die "drive '$drive' is not none, qemu:PROPS or served:PROG" ;;
  esac
  (cd "$out" && find data | cpio -o -H newc --quiet -R 0:0) > "$out/data.cpio" || die "cpio"
  cat "$B/base.cpio" "$D/fleet.cpio" "$out/data.cpio" > "$out/initrd"
  rm -rf "$stage" "$out/data.cpio"

  local kernel=$B/vmlinuz
  [ -f "$B/vmlinux" ] && kernel=$B/vmlinux
  port=$(free_port) || die "no free port"
  echo "$port" > "$out/port"
  local cmd=(${QEMU:-qemu-system-x86_64} -machine pc -accel tcg -m "${FLEET_VM_MEM:-384}"
             -nodefaults -no-user-config -display none -monitor none -no-reboot
             -kernel "$kernel" -initrd "$out/initrd"
             -append "console=ttyS0 quiet panic=-1 peer_dev=sr0 peer_wait=$wait_s"
             -serial "file:$out/console.log" -serial "file:$out/stdout.txt" -serial "file:$out/stderr.txt"
             -fsdev "local,id=hostroot,path=/,security_model=none,readonly=on,multidevs=remap"
             -device "virtio-9p-pci,fsdev=hostroot,mount_tag=hostroot"
             -netdev "user,id=net0,restrict=on,hostfwd=tcp:127.0.0.1:$port-:22"
             -device virtio-net-pci,netdev=net0
             "${drive_args[@]}" ${FLEET_VM_QEMU_ARGS:-})
  printf '%q ' "${cmd[@]}" > "$out/qemu.cmd"; echo >> "$out/qemu.cmd"
  setsid timeout -k 5 "${FLEET_VM_TIMEOUT:-600}" "${cmd[@]}" > "$out/qemu.stderr" 2>&1 < /dev/null &
  echo $! > "$out/pid"
  echo "[127.0.0.1]:$port $(cut -d' ' -f1-2 "$D/host_key.pub")" >> "$D/known_hosts"
}

wait_ready() {
  local bound=120 names=() name t0 pending
  while [ $# -gt 0 ]; do
    case $1 in --bound) bound=$2; shift 2 ;; *) names+=("$1"); shift ;; esac
  done
  t0=$SECONDS
  pending=("${names[@]}")
  while [ ${#pending[@]} -gt 0 ]; do
    local left=()
    for name in "${pending[@]}"; do
      if ! kill -0 "$(cat "$D/$name/pid")" 2>/dev/null; then
        echo "fleet_vm: $name ended before its sshd answered:" >&2
        tail -5 "$D/$name/qemu.stderr" "$D/$name/console.log" >&2
        return 1
      fi
      # shellcheck disable=SC2046
      if ssh $(ssh_opts "$name") root@127.0.0.1 true < /dev/null 2>/dev/null; then
        echo "$name: sshd answered after $((SECONDS - t0)) s"
      else
        left+=("$name")
      fi
    done
    pending=("${left[@]}")
    [ ${#pending[@]} -eq 0 ] && break
    if [ $((SECONDS - t0)) -ge "$bound" ]; then
      for name in "${pending[@]}"; do
        echo "fleet_vm: $name: no sshd within $bound s; console tail:" >&2
        tail -5 "$D/$name/console.log" >&2
      done
      return 1
    fi
    sleep 0.5  # the next poll; each poll itself waits for the guest
  done
}

case $verb in
  prepare) prepare ;;
  start) [ $# -ge 2 ] || die "usage: fleet_vm.sh start DIR NAME DRIVE [FILE...]"; start "$@" ;;
  wait) wait_ready "$@" ;;
  ssh) name=$1; shift
       # shellcheck disable=SC2046
       exec ssh $(ssh_opts "$name") root@127.0.0.1 "$@" ;;
  stop) for name in "$@"; do
          [ -f "$D/$name/pid" ] || continue
          cpu=$(ps -o times= --ppid "$(cat "$D/$name/pid")" 2>/dev/null | tr -d ' ')
          [ -n "$cpu" ] && echo "$name: $cpu s of CPU"
          kill "$(cat "$D/$name/pid")" 2>/dev/null
        done
        for name in "$@"; do
          [ -f "$D/$name/pid" ] || continue
          for _ in $(seq 100); do kill -0 "$(cat "$D/$name/pid")" 2>/dev/null || break; sleep 0.1; done
          rm -f "$D/$name/pid" "$D/$name/initrd"
        done ;;
  inventory) for name in "$@"; do
               echo "$name ansible_host=127.0.0.1 ansible_port=$(cat "$D/$name/port") ansible_user=root" \
                    "ansible_ssh_private_key_file=$D/id_ed25519" \
                    "ansible_ssh_common_args='-o UserKnownHostsFile=$D/known_hosts -o StrictHostKeyChecking=yes'"
             done ;;
  *) die "unknown verb '$verb'" ;;
esac
