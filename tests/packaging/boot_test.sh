#!/bin/sh
# Installs the package into a throwaway copy of this machine, boots systemd
# there and checks the service as an administrator meets it: installed and
# started at boot, the real timedatectl and openvpn driven through the
# daemon, an update through the daemon's own job, an upgrade, removal and
# purge. Everything happens in new mount, PID, network, UTS, IPC and cgroup
# namespaces over an in-memory overlay of "/": the machine's files,
# firewall, timezone and services are not touched. The one trace while it
# runs is an empty cgroup below the cgroup2 root, removed at the end.
#
#   sudo tests/packaging/boot_test.sh OUT/tundrafoxd_VERSION_ARCH.deb
#
# Exit status 0 passed, 1 failed, 77 skipped (this machine cannot boot
# systemd in a namespace).
set -eu

skip() { echo "SKIPPED: systemd boot test: cannot boot systemd in a namespace: $*"; exit 77; }
[ "$(id -u)" = 0 ] || skip "not root"
[ -x /lib/systemd/systemd ] || skip "systemd is not installed"
grep -qw overlay /proc/filesystems || skip "no overlayfs in this kernel"
cg2=$(findmnt -n -o TARGET -t cgroup2 | head -n 1)
[ -n "$cg2" ] || skip "no cgroup2 hierarchy mounted"
unshare --mount --pid --fork --cgroup --net true 2>/dev/null || skip "namespaces are not permitted here"
cgroup=$cg2/tundrafox-boot-test.$$
mkdir "$cgroup" 2>/dev/null || skip "cannot create a cgroup below $cg2"
sd= outer=
cleanup() {
  [ -n "$sd" ] && kill -KILL "$sd" 2>/dev/null || true
  [ -n "$outer" ] && wait "$outer" 2>/dev/null || true
  find "$cgroup" -mindepth 1 -depth -type d -exec rmdir {} + 2>/dev/null || true
  rmdir "$cgroup" 2>/dev/null || true
}
trap cleanup EXIT

deb=$(realpath "$1")
work=$(dirname "$deb")/boot-test
rm -rf "$work"
mkdir -p "$work/mnt"
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
# A known default timezone: the daemon reads it at start.
echo Etc/UTC >"\$R/etc/timezone"
ln -sf /usr/share/zoneinfo/Etc/UTC "\$R/etc/localtime"
# A container image's "start no services" policy would keep dpkg from
# starting the service, as it never does on a booted machine.
rm -f "\$R/usr/sbin/policy-rc.d"
cp "$deb" "\$R/root/"
chroot "\$R" dpkg -i "/root/$(basename "$deb")" >"$work/install.log" 2>&1
# Only what the test needs is started at boot.
for u in \$(cd "\$R/etc/systemd/system" && ls -d *.wants/* 2>/dev/null | sed 's#.*/##' | grep -v '^tundrafoxd'); do
  ln -sf /dev/null "\$R/etc/systemd/system/\$u"
done
# The clock and the kernel are the host's own: without these capabilities
# nothing booted here can set them. (timedated tells the kernel the new
# timezone, and the first such call after the host booted shifts the host's
# clock by the zone's offset when the host's init never made it.)
exec setpriv --bounding-set -sys_time,-sys_module -- chroot "\$R" /usr/bin/env -i container=tundrafox-test \
  PATH=/usr/sbin:/usr/bin:/sbin:/bin /lib/systemd/systemd --system --log-target=journal
BOOT

sh -c 'echo $$ >"$1/cgroup.procs"; exec unshare --mount --pid --fork --uts --ipc --net --cgroup sh "$2"' \
  sh "$cgroup" "$work/boot.sh" >"$work/boot.log" 2>&1 &
outer=$!

fail() { echo "FAIL: $*" >&2; [ -n "$sd" ] && inside journalctl --no-pager -n 60 >&2; exit 1; }
inside() { nsenter -t "$sd" -m -p -n -u -i -r -w "$@"; }
# Polls a shell condition inside the booted machine, at most $1 seconds.
await() {
  limit=$(($1 * 10)); shift
  while [ "$limit" -gt 0 ]; do
    inside sh -c "$*" >/dev/null 2>&1 && return 0
    sleep 0.1; limit=$((limit - 1))
  done
  return 1
}
ctl() { inside tundrafoxctl --timeout 5 "$@" >/dev/null 2>&1; }
main_pid() { inside systemctl show -p MainPID --value tundrafoxd; }
# The OUTPUT policy of both filter tables is $1.
policy_is() {
  inside iptables -S OUTPUT | grep -q "^-P OUTPUT $1" && inside ip6tables -S OUTPUT | grep -q "^-P OUTPUT $1"
}
switch_on() {
  ctl firewall on --servers 10.0.0.1 --interface tun0 --block-ipv6 --block-dns --allow-lan || fail "firewall on"
  i=50
  until policy_is DROP; do i=$((i - 1)); [ "$i" -gt 0 ] || fail "kill switch not applied"; sleep 0.1; done
}

# systemd moves itself into init.scope of the new cgroup namespace's root.
i=300
while [ -z "$sd" ] && [ "$i" -gt 0 ]; do
  sd=$(cat "$cgroup/init.scope/cgroup.procs" 2>/dev/null | head -n 1) || true
  sleep 0.1; i=$((i - 1))
done
[ -n "$sd" ] || { cat "$work/boot.log" "$work/install.log" >&2 2>/dev/null; fail "systemd did not start"; }
await 30 'systemctl is-system-running | grep -Eq "running|degraded"' || fail "boot did not finish"

echo "== installed, started at boot"
inside systemctl is-enabled --quiet tundrafoxd || fail "not enabled after installation"
inside getent group tundrafox >/dev/null || fail "no tundrafox group after installation"
await 10 'tundrafoxctl --timeout 2 firewall supported' || fail "firewall supported not answered"
[ "$(inside cat /run/tundrafoxd.pid)" = "$(main_pid)" ] || fail "MainPID is not the monitor of the pid lock file"
[ "$(inside pgrep -x -c tundrafoxd)" = 2 ] || fail "expected monitor and worker"
inside systemd-analyze security --no-pager tundrafoxd | tail -n 1

echo "== timezone through timedatectl and systemd-timedated"
zone_is() {
  case $(inside readlink /etc/localtime) in */zoneinfo/"$1") ;; *) return 1 ;; esac
  [ "$(inside timedatectl show -p Timezone --value)" = "$1" ]
}
ctl timezone set Asia/Tokyo || fail "timezone set refused"
zone_is Asia/Tokyo || fail "timezone set did not reach /etc/localtime and timedatectl"
ctl timezone restore || fail "timezone restore refused"
zone_is Etc/UTC || fail "timezone restore did not bring Etc/UTC back"
ctl timezone set Asia/Tokyo && zone_is Asia/Tokyo || fail "second timezone set"

echo "== stop puts the timezone back and ends monitor and worker"
inside systemctl stop tundrafoxd || fail "systemctl stop"
zone_is Etc/UTC || fail "stop left the changed timezone"
inside systemctl is-failed --quiet tundrafoxd && fail "stop left the unit failed"
inside pgrep -x tundrafoxd >/dev/null && fail "tundrafoxd processes left after stop"
inside test -e /run/tundrafoxd.pid && fail "pid lock file left after stop"

echo "== openvpn with a tun device, a route and an up script"
inside systemctl start tundrafoxd || fail "systemctl start"
inside sh -c 'printf "#!/bin/sh\necho \$1 >/run/vpn-up\n" >/run/up.sh && chmod 755 /run/up.sh'
await 10 'tundrafoxctl --timeout 2 openvpn -- --dev tun7 --dev-type tun --ifconfig 10.7.0.1 10.7.0.2 \
  --route 10.77.0.0 255.255.0.0 --script-security 2 --up /run/up.sh --verb 0' || fail "openvpn refused"
await 10 'ip route show 10.77.0.0/16 | grep -q "dev tun7"' || fail "openvpn brought up no tun7 with its route"
await 5 'grep -qx tun7 /run/vpn-up' || fail "openvpn did not run its up script"
inside pkill -x openvpn || fail "openvpn did not keep running"

echo "== update through the daemon's own job"
switch_on
before=$(main_pid)
runs=$(inside grep -c ' upgrade tundrafoxd' /var/log/dpkg.log || true)
ctl install-update "/root/$(basename "$deb")" || fail "install-update refused"
policy_is ACCEPT || fail "kill switch still on after install-update"
ctl firewall supported && fail "control port still open"
await 30 "[ \$(grep -c ' upgrade tundrafoxd' /var/log/dpkg.log) -gt $runs ]" || fail "the job did not run dpkg -i"
await 20 "systemctl is-active --quiet tundrafoxd && [ \$(systemctl show -p MainPID --value tundrafoxd) != $before ]" ||
  fail "the new daemon does not run after the update"
await 10 'tundrafoxctl --timeout 2 firewall supported' || fail "the new daemon does not answer"
await 30 '! pgrep -x dpkg' || fail "the job's dpkg did not finish"

echo "== upgrade with the same package restarts the service"
before=$(main_pid)
inside dpkg -i "/root/$(basename "$deb")" >/dev/null || fail "dpkg -i again"
[ "$(main_pid)" != "$before" ] && inside systemctl is-active --quiet tundrafoxd || fail "not restarted by the upgrade"
await 10 'tundrafoxctl --timeout 2 firewall supported' || fail "does not answer after the upgrade"

echo "== remove lifts the kill switch; purge leaves nothing"
switch_on
inside dpkg -r tundrafoxd >/dev/null || fail "dpkg -r"
policy_is ACCEPT || fail "removal left the kill switch on"
inside pgrep -x tundrafoxd >/dev/null && fail "daemon still running after removal"
# The daemon's file log, which it writes only where the directory exists.
inside sh -c 'mkdir -p /var/log/tundrafox && echo line >/var/log/tundrafox/daemon.log'
inside dpkg --purge tundrafoxd >/dev/null || fail "dpkg --purge"
left=$(inside sh -c 'ls -d /usr/share/tundra_fox /var/log/tundrafox; find /etc /run /tmp -name "*tundrafox*"' 2>/dev/null || true)
[ -z "$left" ] || fail "left after purge: $left"
inside getent group tundrafox >/dev/null && fail "tundrafox group left after purge"

echo "systemd boot test OK"
