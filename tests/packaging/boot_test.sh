#!/bin/sh
# Installs the package into a throwaway copy of this machine, boots systemd there and checks the service as an
# administrator meets it. All in new mount, PID, network, UTS, IPC and cgroup namespaces over an in-memory
# overlay of "/"; the one trace on the machine is an empty cgroup, removed at the end.
#   sudo tests/packaging/boot_test.sh OUT/tundrafoxd_VERSION_ARCH.deb
# Exit status 0 passed, 1 failed, 77 skipped (systemd cannot boot in a namespace here).
set -eu

skip() { echo "SKIPPED: systemd boot test: cannot boot systemd in a namespace: $*"; exit 77; }
[ "$(id -u)" = 0 ] || skip "not root"
[ -x /lib/systemd/systemd ] && grep -qw overlay /proc/filesystems || skip "no systemd or no overlayfs"
cg2=$(findmnt -n -o TARGET -t cgroup2 | head -n 1)
unshare --mount --pid --fork --cgroup --net true 2>/dev/null || skip "namespaces are not permitted here"
cgroup=$cg2/tundrafox-boot-test.$$
[ -n "$cg2" ] && mkdir "$cgroup" 2>/dev/null || skip "cannot create a cgroup below a cgroup2 hierarchy"
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
mount -t proc proc "\$R/proc" && mount -t sysfs sysfs "\$R/sys" && mount -t cgroup2 cgroup2 "\$R/sys/fs/cgroup"
mount --rbind /dev "\$R/dev" && mount -t tmpfs tmpfs "\$R/run" && mount -t tmpfs tmpfs "\$R/tmp"
# A known default timezone (the daemon reads it at start), and no container
# "start no services" policy, which would keep dpkg from starting the service.
echo Etc/UTC >"\$R/etc/timezone" && ln -sf /usr/share/zoneinfo/Etc/UTC "\$R/etc/localtime"
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
# Polls a shell condition, at most $1 seconds: here (wait_for) or inside the booted machine (await).
wait_for() {
  limit=$(($1 * 10)); shift
  until eval "$*" >/dev/null 2>&1; do limit=$((limit - 1)); [ "$limit" -gt 0 ] || return 1; sleep 0.1; done
}
await() { n=$1; shift; cond=$*; wait_for "$n" 'inside sh -c "$cond"'; }
ctl() { inside tundrafoxctl --timeout 5 "$@" >/dev/null 2>&1; }
answers() { await 10 'tundrafoxctl --timeout 2 firewall supported'; }
main_pid() { inside systemctl show -p MainPID --value tundrafoxd; }
# A condition: the OUTPUT policy of both filter tables is $1.
policy() { echo "[ \$({ iptables -S OUTPUT; ip6tables -S OUTPUT; } | grep -c '^-P OUTPUT $1') = 2 ]"; }
switch_on() {
  ctl firewall on --servers 10.0.0.1 --interface tun0 --block-ipv6 --block-dns --allow-lan || fail "firewall on"
  await 5 "$(policy DROP)" || fail "kill switch not applied"
}
zone_is() {
  case $(inside readlink /etc/localtime) in */zoneinfo/"$1") ;; *) return 1 ;; esac
  [ "$(inside timedatectl show -p Timezone --value)" = "$1" ]
}

# systemd moves itself into init.scope of the new cgroup namespace's root.
wait_for 30 'sd=$(head -n 1 "$cgroup/init.scope/cgroup.procs") && [ -n "$sd" ]' ||
  { cat "$work/boot.log" "$work/install.log" >&2 || true; fail "systemd did not start"; }
await 30 'systemctl is-system-running | grep -Eq "running|degraded"' || fail "boot did not finish"

echo "== installed, started at boot"
inside systemctl is-enabled --quiet tundrafoxd || fail "not enabled after installation"
inside getent group tundrafox >/dev/null || fail "no tundrafox group after installation"
answers || fail "firewall supported not answered"
[ "$(inside cat /run/tundrafoxd.pid)" = "$(main_pid)" ] || fail "MainPID is not the monitor of the pid lock file"
[ "$(inside pgrep -x -c tundrafoxd)" = 2 ] || fail "expected monitor and worker"
inside systemd-analyze security --no-pager tundrafoxd | tail -n 1

echo "== timezone through timedatectl and systemd-timedated; stop puts it back and ends both processes"
ctl timezone set Asia/Tokyo && zone_is Asia/Tokyo || fail "timezone set did not reach /etc/localtime and timedatectl"
ctl timezone restore && zone_is Etc/UTC || fail "timezone restore did not bring Etc/UTC back"
ctl timezone set Asia/Tokyo && zone_is Asia/Tokyo || fail "second timezone set"
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

echo "== a killed monitor is started again by systemd, and the kill switch goes"
switch_on
before=$(main_pid)
inside kill -KILL "$before"
await 20 "systemctl is-active --quiet tundrafoxd && [ \$(systemctl show -p MainPID --value tundrafoxd) != $before ]" ||
  fail "not started again after SIGKILL of the main process"
answers || fail "does not answer after the restart"
inside sh -c "$(policy ACCEPT)" || fail "kill switch still on after the restart"
[ "$(inside pgrep -x -c tundrafoxd)" = 2 ] || fail "expected monitor and worker after the restart"

echo "== update through the daemon's own job"
switch_on
before=$(main_pid) runs=$(inside grep -c ' upgrade tundrafoxd' /var/log/dpkg.log || true)
ctl install-update "/root/$(basename "$deb")" || fail "install-update refused"
inside sh -c "$(policy ACCEPT)" || fail "kill switch still on after install-update"
ctl firewall supported && fail "control port still open"
await 30 "[ \$(grep -c ' upgrade tundrafoxd' /var/log/dpkg.log) -gt $runs ]" || fail "the job did not run dpkg -i"
await 20 "systemctl is-active --quiet tundrafoxd && [ \$(systemctl show -p MainPID --value tundrafoxd) != $before ]" ||
  fail "the new daemon does not run after the update"
answers || fail "the new daemon does not answer"
await 30 '! pgrep -x dpkg' || fail "the job's dpkg did not finish"

echo "== another user's update only with polkit's word, and only the file as it was at the request"
# alice and bob may drive the daemon; a rule lets alice install updates and not bob.
inside sh -c 'useradd -m alice && useradd -m bob && adduser alice tundrafox && adduser bob tundrafox' >/dev/null ||
  fail "users"
inside sh -c 'cat >/etc/polkit-1/rules.d/50-update-test.rules' <<'RULES'
polkit.addRule(function(action, subject) {
  if (action.id == "org.tundrafox.install-update") return subject.user == "alice" ? polkit.Result.YES : polkit.Result.NO;
});
RULES
# USER PACKAGE VERSION: USER builds ~USER/up.deb, a package that installs /usr/share/PACKAGE/version.
mkpkg() {
  inside setpriv --reuid "$1" --regid "$1" --init-groups sh -c "cd /home/$1 && mkdir -p p/DEBIAN p/usr/share/$2 &&
    printf 'Package: $2\nVersion: $3\nArchitecture: all\nMaintainer: t <t@t.invalid>\nDescription: t\n' >p/DEBIAN/control &&
    echo $3 >p/usr/share/$2/version && dpkg-deb -b p up.deb.new >/dev/null && mv up.deb.new up.deb && rm -rf p"
}
as_user() { u=$1; shift; inside setpriv --reuid "$u" --regid "$u" --init-groups tundrafoxctl --timeout 5 "$@" >/dev/null 2>&1; }
mkpkg alice tfx-alice 1 && mkpkg bob tfx-bob 1 || fail "test packages"
as_user alice install-update /home/alice/up.deb || fail "alice's install-update refused"
mkpkg alice tfx-alice 2 || fail "alice's second package"
await 60 'grep -qx 1 /usr/share/tfx-alice/version' || fail "alice's update was not installed (as it was at the request)"
await 30 '! ls /var/cache/tundrafoxd/*' || fail "the package copy was left behind (or dpkg did not finish)"
inside systemctl start tundrafoxd && answers || fail "the daemon does not answer after alice's update"
# tundrafoxctl waits for an authorization that never comes: polkit asks about it, so it must run meanwhile.
inside setpriv --reuid bob --regid bob --init-groups tundrafoxctl install-update /home/bob/up.deb >/dev/null 2>&1 &
await 30 'journalctl -u tundrafoxd | grep -q "install update refused: not authorized (denied by polkit)"' ||
  fail "bob's refusal not logged"
inside pkill -u bob tundrafoxctl
inside test -e /usr/share/tfx-bob && fail "bob's update was installed"
answers || fail "the daemon stopped for bob's refused update"

echo "== upgrade with the same package restarts the service"
before=$(main_pid)
inside dpkg -i "/root/$(basename "$deb")" >/dev/null || fail "dpkg -i again"
[ "$(main_pid)" != "$before" ] && inside systemctl is-active --quiet tundrafoxd || fail "not restarted by the upgrade"
answers || fail "does not answer after the upgrade"

echo "== remove lifts the kill switch; purge leaves nothing"
switch_on
inside dpkg -r tundrafoxd >/dev/null || fail "dpkg -r"
inside sh -c "$(policy ACCEPT)" || fail "removal left the kill switch on"
inside pgrep -x tundrafoxd >/dev/null && fail "daemon still running after removal"
# The daemon's file log, which it writes only where the directory exists.
inside sh -c 'mkdir -p /var/log/tundrafox && echo line >/var/log/tundrafox/daemon.log'
inside dpkg --purge tundrafoxd >/dev/null || fail "dpkg --purge"
left=$(inside sh -c 'ls -d /usr/share/tundra_fox /var/log/tundrafox; find /etc /run /tmp -name "*tundrafox*"' \
  2>/dev/null || true)
[ -z "$left" ] || fail "left after purge: $left"
inside getent group tundrafox >/dev/null && fail "tundrafox group left after purge"

echo "systemd boot test OK"
