#!/bin/sh
# Builds the Debian package from a build tree and inspects it with dpkg-deb.
# Nothing is installed: every file lands below OUT_DIR.
#   check_package.sh BUILD_DIR PACKAGING_SOURCE_DIR OUT_DIR
set -eu

build=$1
src=$2
out=$3

fail() { echo "FAIL: $*" >&2; exit 1; }

rm -rf "$out"
mkdir -p "$out"
# The package lands in OUT_DIR; cpack's staging tree is below it as well.
cpack -G DEB --config "$build/CPackConfig.cmake" -B "$out" >"$out/cpack.log" 2>&1 ||
  { cat "$out/cpack.log" >&2; fail "cpack failed"; }
set -- "$out"/tundrafoxd_*.deb
[ $# -eq 1 ] && [ -f "$1" ] || fail "expected exactly one tundrafoxd_*.deb in $out"
deb=$1
echo "package: $deb"

# --- payload ----------------------------------------------------------------
dpkg-deb -c "$deb" >"$out/contents.txt"
# Regular files only, as "mode owner path".
awk '$1 ~ /^-/ { print $1, $2, $6 }' "$out/contents.txt" | sort >"$out/files.txt"
cat >"$out/expected-files.txt" <<'LIST'
-rw-r--r-- root/root ./lib/systemd/system/tundrafoxd.service
-rw-r--r-- root/root ./usr/share/man/man1/tundrafoxctl.1.gz
-rw-r--r-- root/root ./usr/share/man/man8/tundrafoxd.8.gz
-rwxr-xr-x root/root ./usr/bin/tundrafoxctl
-rwxr-xr-x root/root ./usr/sbin/tundrafoxd
LIST
sort -o "$out/expected-files.txt" "$out/expected-files.txt"
diff -u "$out/expected-files.txt" "$out/files.txt" || fail "unexpected payload files or modes"

mkdir -p "$out/root"
dpkg-deb -x "$deb" "$out/root"
cmp "$src/tundrafoxd.service" "$out/root/lib/systemd/system/tundrafoxd.service" ||
  fail "unit file differs from the source"
if command -v systemd-analyze >/dev/null 2>&1; then
  (cd "$out/root/lib/systemd/system" && systemd-analyze verify --man=no ./tundrafoxd.service) ||
    fail "systemd-analyze verify rejects the unit"
fi
for page in man8/tundrafoxd.8 man1/tundrafoxctl.1; do
  gzip -t "$out/root/usr/share/man/$page.gz" || fail "$page.gz is not valid gzip"
  gzip -dc "$out/root/usr/share/man/$page.gz" >"$out/page"
  head -n 1 "$out/page" | grep -q '^\.TH ' || fail "$page has no .TH header"
  if command -v groff >/dev/null 2>&1; then
    warnings=$(groff -man -ww -z "$out/page" 2>&1) || fail "groff failed on $page"
    [ -z "$warnings" ] || fail "groff warnings in $page: $warnings"
  fi
done
file "$out/root/usr/sbin/tundrafoxd" 2>/dev/null | grep -q 'ELF' || [ -x "$out/root/usr/sbin/tundrafoxd" ] ||
  fail "tundrafoxd is not an executable"

# --- control fields -----------------------------------------------------------
dpkg-deb -I "$deb" >"$out/info.txt"
field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = tundrafoxd ] || fail "Package field"
[ "$(field Architecture)" = "$(dpkg --print-architecture)" ] || fail "Architecture field"
[ -n "$(field Version)" ] || fail "no Version"
[ -n "$(field Maintainer)" ] || fail "no Maintainer"
deps=$(field Depends)
for d in libc6 libstdc++6 libsystemd0 iptables procps sudo; do
  echo "$deps" | grep -q "\\b$d\\b" || fail "Depends lacks $d: $deps"
done

# --- maintainer scripts ---------------------------------------------------------
mkdir -p "$out/ctrl"
dpkg-deb --ctrl-tarfile "$deb" >"$out/control.tar"
tar -tvf "$out/control.tar" >"$out/control-list.txt"
for s in postinst prerm postrm; do
  grep -Eq "^-rwxr-xr-x root/root .* \./$s\$" "$out/control-list.txt" || fail "$s missing or not 0755 root"
done
tar -xf "$out/control.tar" -C "$out/ctrl"
for s in postinst prerm postrm; do
  cmp "$src/debian/$s" "$out/ctrl/$s" || fail "$s differs from the source"
  sh -n "$out/ctrl/$s" || fail "$s: syntax error"
  head -n 1 "$out/ctrl/$s" | grep -qx '#!/bin/sh' || fail "$s: not a /bin/sh script"
done
grep -q 'daemon-reload' "$out/ctrl/postinst" || fail "postinst: no daemon-reload"
grep -q 'enable "$unit"' "$out/ctrl/postinst" || fail "postinst: no enable"
grep -q 'restart "$unit"' "$out/ctrl/postinst" || fail "postinst: no restart on upgrade"
grep -q 'stop "$unit"' "$out/ctrl/prerm" || fail "prerm: no stop"
grep -q 'disable "$unit"' "$out/ctrl/prerm" || fail "prerm: no disable"
grep -q 'daemon-reload' "$out/ctrl/postrm" || fail "postrm: no daemon-reload"
for s in postinst prerm postrm; do
  grep -q '/run/systemd/system' "$out/ctrl/$s" || fail "$s: not guarded for systems without systemd"
done

# Run each script the way dpkg would on a machine without systemd running
# (no /run/systemd/system here, systemctl replaced by a recorder) and check
# that it succeeds and touches no service.
mkdir -p "$out/fakebin"
cat >"$out/fakebin/systemctl" <<'STUB'
#!/bin/sh
echo "systemctl $*" >>"$SYSTEMCTL_LOG"
STUB
chmod 755 "$out/fakebin/systemctl"
# Skipped where a service manager runs or the package is installed: prerm
# would then reach the real daemon.
if [ ! -d /run/systemd/system ] && [ ! -e /usr/bin/tundrafoxctl ]; then
  export SYSTEMCTL_LOG="$out/systemctl.log"
  : >"$SYSTEMCTL_LOG"
  PATH="$out/fakebin:$PATH" sh "$out/ctrl/postinst" configure "" || fail "postinst configure failed"
  PATH="$out/fakebin:$PATH" sh "$out/ctrl/postinst" configure 0.9 || fail "postinst upgrade failed"
  PATH="$out/fakebin:$PATH" sh "$out/ctrl/prerm" remove || fail "prerm remove failed"
  PATH="$out/fakebin:$PATH" sh "$out/ctrl/postrm" remove || fail "postrm remove failed"
  if grep -Eq 'systemctl (start|stop|restart|daemon-reload)' "$SYSTEMCTL_LOG"; then
    fail "scripts drove a service manager that is not running: $(cat "$SYSTEMCTL_LOG")"
  fi
  grep -qx 'systemctl enable tundrafoxd.service' "$SYSTEMCTL_LOG" || fail "postinst did not enable on first install"
  grep -qx 'systemctl disable tundrafoxd.service' "$SYSTEMCTL_LOG" || fail "prerm did not disable on remove"
fi

echo "package OK"
