#!/bin/sh
# Installs the built package into a throwaway copy of this machine and boots
# systemd there, then checks the service end to end: started at boot, stop
# ends monitor and worker, and an update through the daemon's own job
# (command 10) stops the service, reinstalls the package and runs the new
# daemon again; then removal and purge.
#
#   sudo packaging/systemd_boot_test.sh BUILD_DIR
#
# Needs root, a kernel with overlayfs and cgroup2, and systemd, iptables and
# procps on this machine. Everything happens in new mount, PID, network, UTS,
# IPC and cgroup namespaces over an in-memory overlay of "/": the machine's
# files, firewall and services are not touched. The one visible trace is an
# empty cgroup below the cgroup2 root, removed at the end. Not run by CTest
# (root, a booted service manager and ~1 minute); run it by hand.
set -eu

build=$(cd "$1" && pwd)
work=$build/systemd-boot-test
cg2=$(findmnt -n -o TARGET -t cgroup2 | head -n 1)
[ -n "$cg2" ] || { echo "no cgroup2 mount" >&2; exit 2; }
cgroup=$cg2/tundrafox-boot-test.$$

rm -rf "$work"
mkdir -p "$work/mnt" "$work/sudo-shim/DEBIAN" "$work/sudo-shim/usr/bin"
"$(dirname "$0")/check_package.sh" "$build" "$(cd "$(dirname "$0")" && pwd)" "$work/pkg" >/dev/null
deb=$(ls "$work"/pkg/tundrafoxd_*.deb)

# The package depends on sudo, which the update job calls; a stand-in that
# runs its arguments (everything here is root already) when it is missing.
cat >"$work/sudo-shim/DEBIAN/control" <<CTL
Package: sudo
Version: 0.0-test-shim
Architecture: all
Maintainer: test <test@invalid>
Description: test stand-in that runs its arguments
CTL
printf '#!/bin/sh\nexec "$@"\n' >"$work/sudo-shim/usr/bin/sudo"
chmod 755 "$work/sudo-shim/usr/bin/sudo"
dpkg-deb --root-owner-group --build "$work/sudo-shim" "$work/sudo-shim.deb" >/dev/null

cat >"$work/boot.sh" <<BOOT
set -e
mount --make-rprivate /
mount -t tmpfs -o size=1g tmpfs "$work/mnt"
mkdir -p "$work/mnt/upper" "$work/mnt/work" "$work/mnt/root"
mount -t overlay overlay -o lowerdir=/,upperdir="$work/mnt/upper",workdir="$work/mnt/work" "$work/mnt/root"
R="$work/mnt/root"
mount -t proc proc "\$R/proc"
mount -t sysfs sysfs "\$R/sys"
mount -t cgroup2 cgroup2 "\$R/sys/fs/cgroup"
mount --rbind /dev "\$R/dev"
mount -t tmpfs tmpfs "\$R/run"
mount -t tmpfs tmpfs "\$R/tmp"
cp "$work/sudo-shim.deb" "$deb" "\$R/root/"
dpkg -l sudo 2>/dev/null | grep -q '^ii' || chroot "\$R" dpkg -i /root/sudo-shim.deb >/dev/null
chroot "\$R" sh -c 'dpkg -i /root/tundrafoxd_*.deb' >"$work/install.log" 2>&1
# Only what the test needs is started at boot.
for u in \$(cd "\$R/etc/systemd/system" && ls -d *.wants/* 2>/dev/null | sed 's#.*/##' | grep -v '^tundrafoxd'); do
  ln -sf /dev/null "\$R/etc/systemd/system/\$u"
done
exec chroot "\$R" /usr/bin/env -i container=tundrafox-test PATH=/usr/sbin:/usr/bin:/sbin:/bin \
  /lib/systemd/systemd --system --log-target=journal
BOOT

mkdir "$cgroup"
sh -c 'echo $$ >"$1/cgroup.procs"; exec unshare --mount --pid --fork --uts --ipc --net --cgroup sh "$2"' \
  sh "$cgroup" "$work/boot.sh" >"$work/boot.log" 2>&1 &
outer=$!

cleanup() {
  [ -n "${sd:-}" ] && kill -KILL "$sd" 2>/dev/null || true
  wait "$outer" 2>/dev/null || true
  find "$cgroup" -mindepth 1 -depth -type d -exec rmdir {} + 2>/dev/null || true
  rmdir "$cgroup" 2>/dev/null || true
}
trap cleanup EXIT

fail() { echo "FAIL: $*" >&2; [ -n "${sd:-}" ] && inside journalctl --no-pager -n 60 >&2; exit 1; }
inside() { nsenter -t "$sd" -m -p -n -u -i -r -w "$@"; }
# Polls a shell condition inside the booted machine, at most $1 seconds.
await() {
  limit=$1; shift
  i=0
  while [ "$i" -lt $((limit * 10)) ]; do
    inside sh -c "$*" >/dev/null 2>&1 && return 0
    sleep 0.1; i=$((i + 1))
  done
  return 1
}

sd=
i=0
while [ -z "$sd" ] && [ "$i" -lt 600 ]; do
  for p in $(pgrep -f '^/lib/systemd/systemd --system' || true); do
    grep -q "tundrafox-boot-test.$$" "/proc/$p/cgroup" 2>/dev/null && sd=$p
  done
  sleep 0.1; i=$((i + 1))
done
[ -n "$sd" ] || { cat "$work/boot.log" >&2; fail "systemd did not start"; }
await 60 'systemctl is-system-running | grep -Eq "running|degraded"' || fail "boot did not finish"

echo "== started at boot"
inside systemctl is-enabled --quiet tundrafoxd || fail "not enabled after installation"
await 10 'systemctl is-active --quiet tundrafoxd' || fail "not active after boot"
await 10 'tundrafoxctl --timeout 2 firewall supported' || fail "firewall supported not answered"
main=$(inside systemctl show -p MainPID --value tundrafoxd)
[ "$(inside cat /run/tundrafoxd.pid | tr -d '\n')" = "$main" ] || fail "MainPID is not the pid lock file's monitor"
[ "$(inside pgrep -x -c tundrafoxd)" = 2 ] || fail "expected monitor and worker"

echo "== stop ends monitor and worker"
inside systemctl stop tundrafoxd
inside systemctl is-active --quiet tundrafoxd && fail "still active after stop"
inside systemctl is-failed --quiet tundrafoxd && fail "stop left the unit failed"
inside pgrep -x tundrafoxd >/dev/null && fail "tundrafoxd processes left after stop"
inside test -e /run/tundrafoxd.pid && fail "pid lock file left after stop"

echo "== update through the daemon's own job"
inside systemctl start tundrafoxd
await 10 'tundrafoxctl --timeout 2 firewall on --servers 10.0.0.1 --interface tun0' || fail "firewall on"
await 5 'iptables -S OUTPUT | grep -q "^-P OUTPUT DROP"' || fail "kill switch not applied"
before=$(inside systemctl show -p MainPID --value tundrafoxd)
upgrades=$(inside grep -c ' upgrade tundrafoxd' /var/log/dpkg.log || true)
inside tundrafoxctl install-update "/root/$(basename "$deb")" >/dev/null || fail "install-update refused"
inside iptables -S OUTPUT | grep -q '^-P OUTPUT ACCEPT' || fail "kill switch still on after install-update"
inside tundrafoxctl --timeout 2 firewall supported >/dev/null 2>&1 && fail "control port still open"
await 30 "[ \$(grep -c ' upgrade tundrafoxd' /var/log/dpkg.log) -gt $upgrades ]" || fail "the job did not run dpkg -i"
await 20 "systemctl is-active --quiet tundrafoxd && [ \$(systemctl show -p MainPID --value tundrafoxd) != $before ]" ||
  fail "the new daemon does not run after the update"
await 10 'tundrafoxctl --timeout 2 firewall supported' || fail "new daemon does not answer"
await 60 '! pgrep -x dpkg' || fail "the job's dpkg did not finish"

echo "== remove and purge"
await 10 'tundrafoxctl --timeout 2 firewall on --servers 10.0.0.1 --interface tun0' || fail "firewall on"
await 5 'iptables -S OUTPUT | grep -q "^-P OUTPUT DROP"' || fail "kill switch not applied"
inside dpkg -r tundrafoxd >/dev/null
inside iptables -S OUTPUT | grep -q '^-P OUTPUT ACCEPT' || fail "removal left the kill switch on"
inside pgrep -x tundrafoxd >/dev/null && fail "daemon still running after removal"
inside test -e /etc/systemd/system/multi-user.target.wants/tundrafoxd.service && fail "still enabled after removal"
inside dpkg --purge tundrafoxd >/dev/null
inside test -e /usr/share/tundra_fox/fw.sh && fail "purge left the rule scripts"

echo "systemd boot test OK"
