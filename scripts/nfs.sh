#!/usr/bin/env bash
# The end-to-end tests of both Linux programs on a real NFS server: a Debian
# 12 guest in qemu (made once, in build/nfs-guest/root) serves a tmpfs over
# its own loopback and mounts it as NFS v3, v3 without locks, v4.0 and v4.2;
# kembu_e2e runs the tests that `filter` names in a folder of each mount,
# for each program. The build tree is shared with the guest at the same path,
# as the tests name their helpers by absolute paths. One line per mount and
# program, each run's log in build/nfs-guest/logs/. Exit status 0 when all
# passed, 1 when any failed, 77 when the check cannot run here (the reason on
# the last line). Usage: bash scripts/nfs.sh
set -uo pipefail
cd "$(dirname "$0")/.."
filter='Operations.*:Backup/*:Restore/*:Held*:Lockers*:race*/SingleRun.*'
mounts=(v3 v3-nolock v4.0 v4.2)
root=$PWD
guest=$root/build/nfs-guest
logs=$guest/logs

cannot() { echo "$*"; exit 77; }
source scripts/targets.sh
# shellcheck disable=SC2046
try_packages $(needs nfs) || true
command -v qemu-system-x86_64 >/dev/null ||
  cannot "no qemu-system-x86_64 (apt-get install qemu-system-x86)"
command -v debootstrap >/dev/null || cannot "no debootstrap (apt-get install debootstrap)"
[ -x build/linux/tests/e2e/kembu_e2e ] || cannot "no Linux build (build/linux/tests/e2e/kembu_e2e)"
# The trees whose kembu runs here as it is: the native one, and the static
# Linux ones of this machine's processor.
trees=()
for tree in "${targets[@]}"; do
  [ "${row_system[$tree]}" = linux ] && [ -z "${row_runner[$tree]}" ] &&
    [[ ${row_machine[$tree]} =~ ^($(uname -m))?$ ]] || continue
  [ -x "build/$tree/kembu" ] && trees+=("$tree") || echo "no build/$tree/kembu: not run"
done

# The guest's packages come from the mirror this machine's apt uses.
mirror=$(sed -n 's/^URIs: *\([^ ]*\).*/\1/p' /etc/apt/sources.list.d/debian.sources 2>/dev/null |
  grep -v security | head -n 1)
[ -n "$mirror" ] || mirror=$(sed -n 's/^deb \(\[[^]]*\] \)\?\([^ ]*\) .*/\2/p' \
  /etc/apt/sources.list 2>/dev/null | grep -v security | head -n 1)
packages=linux-image-amd64,initramfs-tools,kmod,iproute2,nfs-kernel-server,nfs-common,rpcbind,\
strace,python3
# Its initramfs holds only what mounts a 9p root. The marker, written last,
# names the packages: a root without it, or with others, is made again.
build_guest() {
  rm -rf --one-file-system "$guest/root" && mkdir -p "$guest" &&
    debootstrap --variant=minbase --include="$packages" bookworm "$guest/root" \
      "${mirror:-http://deb.debian.org/debian}" >"$guest/debootstrap.log" 2>&1 &&
    printf '%s\n' 9p 9pnet_virtio virtio_pci >>"$guest/root/etc/initramfs-tools/modules" &&
    echo MODULES=list >"$guest/root/etc/initramfs-tools/conf.d/kembu-nfs" &&
    chroot "$guest/root" /usr/sbin/update-initramfs -u -k all >>"$guest/debootstrap.log" 2>&1 &&
    echo "$packages" >"$guest/root/.complete"
}
if [ "$(cat "$guest/root/.complete" 2>/dev/null)" != "$packages" ]; then
  echo "== making the guest's root, build/nfs-guest/root (about 5 minutes)"
  build_guest || cannot "cannot make the guest's root (build/nfs-guest/debootstrap.log)"
fi

# The guest's init: the NFS server by hand, the mounts, the runs, and off.
{
  echo "#!/bin/bash"
  printf 'root=%q filter=%q mounts=%q trees=%q\n' "$root" "$filter" "${mounts[*]}" "${trees[*]}"
  cat <<'EOF'
PATH=/usr/sbin:/usr/bin:/sbin:/bin
logs=$root/build/nfs-guest/logs
off() { sync; echo o >/proc/sysrq-trigger; sleep 60; }
fail() { echo "$*" >"$logs/reason"; off; }
for fs in proc:/proc sysfs:/sys devtmpfs:/dev tmpfs:/run tmpfs:/tmp; do
  mountpoint -q "${fs#*:}" || mount -t "${fs%:*}" "${fs%:*}" "${fs#*:}"
done
mkdir -p "$root/build" &&
  mount -t 9p -o trans=virtio,version=9p2000.L,msize=262144 build "$root/build" || off
ip link set lo up
# The server's state stays in memory: each boot starts as the first.
cp -a /var/lib/nfs /run/ && mount --bind /run/nfs /var/lib/nfs
# Grace periods hold every lock back, lockd's for 50 s unless told.
modprobe lockd nlm_grace_period=10 && mount -t nfsd nfsd /proc/fs/nfsd &&
  mkdir -p /srv && mount -t tmpfs -o mode=755 export /srv || fail "no NFS server module"
rpcbind && exportfs -o rw,no_root_squash,insecure,no_subtree_check,fsid=0 127.0.0.1:/srv &&
  rpc.mountd && rpc.nfsd -G 10 -L 10 8 && rpc.statd || fail "the NFS server did not start"
for mount in $mounts; do
  mkdir -p "/srv/$mount" "/mnt/$mount"
  options=vers=${mount#v}
  path=/srv/$mount
  [[ $mount != v4* ]] || path=/$mount  # NFSv4 paths start at the export of fsid 0
  mount -t nfs -o "${options/-/,}" "127.0.0.1:$path" "/mnt/$mount" ||
    fail "cannot mount the export as NFS $mount"
done
# A shared lock waits out the grace periods, and finds lockd and statd at work.
flock -s -w 60 /mnt/v3/probe true && flock -s -w 60 /mnt/v4.0/probe true ||
  fail "no NFS locks in the guest"
uname -r >"$logs/ready"
for mount in $mounts; do
  for tree in $trees; do
    mkdir -p "/mnt/$mount/$tree"
    (env TMPDIR="/mnt/$mount/$tree" KEMBU_E2E_PROGRAM="$root/build/$tree/kembu" \
      KEMBU_E2E_NFS="$mount" timeout -k 5 180 "$root/build/linux/tests/e2e/kembu_e2e" \
      --gtest_filter="$filter" >"$logs/$mount-$tree.log" 2>&1
     echo $? >"$logs/$mount-$tree.status") &
  done
  wait
done
off
EOF
} >"$guest/root/init.kembu-nfs"
chmod 755 "$guest/root/init.kembu-nfs"

# No network device: NFS goes over the guest's loopback. TCG where there is
# no KVM; -smap, as with it 32-bit code oopses the guest's kernel. A guest
# that hangs is stopped here, each run in it after 180 s.
rm -rf "$logs" && mkdir -p "$logs"
kernel=$(cd "$guest/root/boot" && ls vmlinuz-* | sort -V | tail -n 1)
echo "== NFS ${mounts[*]} in a guest (linux ${kernel#vmlinuz-}, build/nfs-guest/console.log)"
share() {
  echo "-fsdev local,id=$1,path=$2,security_model=passthrough" \
    "-device virtio-9p-pci,fsdev=$1,mount_tag=$1"
}
started=$SECONDS
# shellcheck disable=SC2046
timeout -k 10 900 qemu-system-x86_64 -accel kvm -accel tcg,thread=multi -cpu max,-smap -m 2G \
  -smp 2 -nographic -nic none -no-reboot -kernel "$guest/root/boot/$kernel" \
  -initrd "$guest/root/boot/initrd.img-${kernel#vmlinuz-}" $(share root "$guest/root") \
  $(share build "$root/build") -append "root=root rootfstype=9p rw fsck.mode=skip panic=-1 \
rootflags=trans=virtio,version=9p2000.L,msize=262144 init=/init.kembu-nfs console=ttyS0 quiet" \
  </dev/null >"$guest/console.log" 2>&1
echo "   $((SECONDS - started)) s from boot to power-off"
[ ! -s "$logs/reason" ] || cannot "$(cat "$logs/reason") (build/nfs-guest/console.log)"
[ -s "$logs/ready" ] || cannot "the guest stopped before its NFS server was ready \
(build/nfs-guest/console.log)"

failed=0
for mount in "${mounts[@]}"; do
  for tree in "${trees[@]}"; do
    log=build/nfs-guest/logs/$mount-$tree.log
    ran=$(sed -n 's/^\[==========\] \([0-9]*\) tests\? from .* ran\..*/\1/p' "$log" 2>/dev/null)
    bad=$(sed -n 's/^\[  FAILED  \] \([0-9]*\) tests\?, listed below:/\1/p' "$log" 2>/dev/null)
    status=$(cat "$logs/$mount-$tree.status" 2>/dev/null)
    result="passed: $ran tests"
    if [ "$status" != 0 ] || [ "${ran:-0}" = 0 ]; then
      failed=1
      result="FAILED: ${bad:-?} of ${ran:-?} tests, exit status ${status:-none}"  # 124: timed out
    fi
    printf '%-10s %-14s %s  %s\n' "$mount" "$tree" "$result" "$log"
  done
done
exit "$failed"
