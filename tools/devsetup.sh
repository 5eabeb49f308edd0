# Shared by run-demo, run-tests and run-bench (sourced, not run): the one
# list of Debian packages the scripts need and the one configure step.
#
#   . tools/devsetup.sh
#   need_root run-tests
#   install_packages build test
#   configure build -DCMAKE_BUILD_TYPE=RelWithDebInfo

TUNDRAFOX_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

# Packages by purpose; install_packages takes the names of the groups.
declare -A TUNDRAFOX_PACKAGES=(
  # compiler, build system, and libsystemd (logind sessions)
  [build]="cmake ninja-build g++ pkgconf libsystemd-dev"
  # what the daemon drives inside the sandbox (the real tools), and ip for
  # the test networks
  [run]="iptables iproute2 procps"
  # GoogleTest, built from its sources with each build's flags; openvpn and
  # openssl (certificates) for the integration test's real tunnel
  [test]="googletest libgtest-dev libgmock-dev openvpn openssl"
  # the fuzzer and the thread-safety analysis (clang) with libFuzzer's runtime
  [clang]="clang libclang-rt-14-dev"
  # the Debian package: its build and lintian; and for the boot test, which
  # installs it into a booted copy of this machine, the package's own
  # dependencies, D-Bus for systemd-timedated and polkit, polkit (who may
  # install updates), the time zones and openvpn
  [package]="debhelper lintian adduser sudo systemd dbus polkitd tzdata openvpn"
)

need_root() {
  if [ "$(id -u)" -ne 0 ]; then
    echo "$1 must run as root (the sandbox creates namespaces): sudo ./$1" >&2
    exit 1
  fi
}

# install_packages GROUP...: installs the packages of the groups that are
# not installed yet (apt-get, without recommends).
install_packages() {
  local group p missing=()
  for group in "$@"; do
    for p in ${TUNDRAFOX_PACKAGES[$group]}; do
      dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
    done
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "== installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update && apt-get install -y --no-install-recommends "${missing[@]}" </dev/null
}

# configure DIR [CMAKE ARGS...]: configures the build tree DIR (absolute, or
# relative to the checkout) with Ninja.
configure() {
  local dir=$1
  shift
  case $dir in /*) ;; *) dir=$TUNDRAFOX_ROOT/$dir ;; esac
  cmake -S "$TUNDRAFOX_ROOT" -B "$dir" -G Ninja "$@" >/dev/null
}
