#!/bin/sh
# Builds the Debian package with dpkg-buildpackage from a copy of the checkout's files and checks it: lintian
# without errors or warnings, the payload, and the unit (systemd-analyze verify, its exposure level).
# dpkg-buildpackage writes next to the tree it builds, so the copy and every output stay below OUT.
#   tests/packaging/package_test.sh OUT     # leaves OUT/tundrafoxd_*.deb; nothing is installed
set -eu

src=$(cd "$(dirname "$0")/../.." && pwd)
fail() { echo "FAIL: $*" >&2; exit 1; }

rm -rf "$1"
mkdir -p "$1/tree" "$1/tmp"
out=$(cd "$1" && pwd)
export TMPDIR="$out/tmp"  # the compiler's and lintian's temporary files too
# Tracked and new files as they are in the work tree, not the build trees.
git -C "$src" ls-files -co --exclude-standard | while IFS= read -r f; do [ -e "$src/$f" ] && printf '%s\n' "$f"; done |
  tar -C "$src" -cf - -T - | tar -C "$out/tree" -xf -

(cd "$out/tree" && DEB_BUILD_OPTIONS=parallel=2 dpkg-buildpackage -b -us -uc) >"$out/build.log" 2>&1 ||
  { tail -n 30 "$out/build.log" >&2; fail "dpkg-buildpackage -b failed (log: $out/build.log)"; }
deb=$(ls "$out"/tundrafoxd_*.deb)
echo "built $deb"
lintian --fail-on error,warning "$out"/tundrafoxd_*.changes >"$out/lintian.log" 2>&1 ||
  { cat "$out/lintian.log" >&2; fail "lintian reports errors or warnings"; }
cat "$out/lintian.log"
echo "lintian: no errors, no warnings"

dpkg-deb -c "$deb" | awk '$1 ~ /^-/ { print $1, $6 }' | sort >"$out/files.txt"
sort <<'LIST' | diff -u - "$out/files.txt" || fail "unexpected files or modes in the package"
-rw-r--r-- ./lib/systemd/system/tundrafoxd.service
-rw-r--r-- ./usr/share/doc/tundrafoxd/changelog.gz
-rw-r--r-- ./usr/share/doc/tundrafoxd/copyright
-rw-r--r-- ./usr/share/lintian/overrides/tundrafoxd
-rw-r--r-- ./usr/share/man/man1/tundrafoxctl.1.gz
-rw-r--r-- ./usr/share/man/man8/tundrafoxd.8.gz
-rw-r--r-- ./usr/share/polkit-1/actions/org.tundrafox.install-update.policy
-rwxr-xr-x ./usr/bin/tundrafoxctl
-rwxr-xr-x ./usr/sbin/tundrafoxd
LIST

dpkg-deb -x "$deb" "$out/root"
cd "$out/root/lib/systemd/system"
systemd-analyze verify --man=no ./tundrafoxd.service || fail "systemd-analyze verify rejects the unit"
systemd-analyze security --offline=yes --no-pager ./tundrafoxd.service | tail -n 1
echo "package OK"
