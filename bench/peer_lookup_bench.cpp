// What the daemon's peer check costs per connection: the lookup of the
// client socket's owner (netlink, and the /proc/net/tcp fallback), the whole
// check for a root client (the lookup alone), and the access rule for a
// user who is not root (user database and session records).
//
//   peer_lookup_bench [LOOKUPS]      # default 100000 (the /proc scan: a tenth)
//
// Needs no root and changes nothing: it opens one loopback connection to
// itself and reads. Prints microseconds per call; there is no target.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>

#include "base/peer_owner.h"
#include "base/unique_fd.h"
#include "control/access_rule.h"

namespace {

double microsPerCall(int calls, const std::function<bool()>& call) {
  int ok = 0;
  auto t0 = std::chrono::steady_clock::now();
  for (int i = 0; i < calls; ++i) ok += call();
  std::chrono::duration<double, std::micro> spent = std::chrono::steady_clock::now() - t0;
  if (ok != calls) std::printf("  (%d of %d calls did not give the expected answer)\n", calls - ok, calls);
  return spent.count() / calls;
}

}  // namespace

int main(int argc, char** argv) {
  const int lookups = argc > 1 ? std::atoi(argv[1]) : 100000;
  if (lookups <= 0) {
    std::fprintf(stderr, "usage: peer_lookup_bench [LOOKUPS]\n");
    return 2;
  }
  UniqueFd listener(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  struct sockaddr_in addr {};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  UniqueFd client(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (::bind(listener.get(), reinterpret_cast<sockaddr*>(&addr), len) != 0 || ::listen(listener.get(), 1) != 0 ||
      ::getsockname(listener.get(), reinterpret_cast<sockaddr*>(&addr), &len) != 0 ||
      ::connect(client.get(), reinterpret_cast<sockaddr*>(&addr), len) != 0) {
    std::perror("peer_lookup_bench: loopback connection");
    return 2;
  }
  UniqueFd server(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
  const int fd = server.get();
  const uid_t me = ::geteuid();

  std::printf("peer lookups on one loopback connection, as uid %u\n", me);
  auto lookup = [&](PeerLookup how) {
    return [fd, how, me] {
      PeerOwner o = findPeerOwner(fd, how);
      return o.found && o.uid == me;
    };
  };
  std::printf("netlink (inet_diag, exact 4-tuple):  %8.2f us  (%d lookups)\n",
              microsPerCall(lookups, lookup(PeerLookup::kNetlink)), lookups);
  const int scans = std::max(1, lookups / 10);
  std::printf("/proc/net/tcp scan (fallback):       %8.2f us  (%d lookups)\n",
              microsPerCall(scans, lookup(PeerLookup::kProcNetTcp)), scans);

  const bool allowed = decideAccess(me, systemAccessSources()) != Access::kRefused;
  std::printf("whole check, lookup and access rule: %8.2f us  (%s)\n",
              microsPerCall(lookups, [&] {
                const PeerOwner peer = findPeerOwner(fd);
                return (peer.found && decideAccess(peer.uid, systemAccessSources()) != Access::kRefused) == allowed;
              }),
              me == 0 ? "root: the lookup and nothing else" : "this user");
  std::printf("access rule for uid 65534 (refused): %8.2f us  (user database and session records)\n",
              microsPerCall(lookups / 10 + 1,
                            [] { return decideAccess(65534, systemAccessSources()) == Access::kRefused; }));
  return 0;
}
