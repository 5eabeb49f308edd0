// Who may drive the daemon: the rule over a fake user database and session
// manager, and the owner lookup of real loopback connections.
#include <arpa/inet.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include "base/peer_owner.h"
#include "base/unique_fd.h"
#include "control/access_rule.h"
#include "control/update_authorization.h"
#include "spine_test_support.h"

namespace {

// The user database knows only 1001, a member of the group; 1003 has an active
// local seat, and the seat query fails for 1005. Each lookup fills in its
// answer even when it fails, so that a failure taken for an answer shows.
struct FakeSources : AccessSources {
  static constexpr gid_t kGroup = 990;
  bool hasGroup = true;  // the group tundrafox exists
  bool groupsOf(uid_t uid, std::vector<gid_t>* groups) override { *groups = {kGroup}; return uid == 1001; }
  bool groupId(const char* n, gid_t* gid) override { *gid = kGroup; return hasGroup && n == std::string("tundrafox"); }
  int activeSeats(uid_t uid) override { return uid == 1003 ? 1 : uid == 1005 ? -5 : 0; }
};

// The cases that a real user database cannot easily stage; integration/access_itest.cpp shows the real ones.
TEST(AccessRuleTest, RootGroupMembersAndActiveSeatUsersOnly) {
  FakeSources db;
  for (auto [uid, want] : {std::pair{0u, Access::kRoot}, {1001u, Access::kGroupMember}, {1003u, Access::kActiveSeat},
                           {1005u, Access::kRefused}, {4242u, Access::kRefused}})
    EXPECT_EQ(decideAccess(uid, db), want) << uid;
  db.hasGroup = false;
  EXPECT_EQ(decideAccess(1001, db), Access::kRefused);
  EXPECT_EQ(decideAccess(1003, db), Access::kActiveSeat);
}

// The kernel reports a socket that its process has closed as root's: such a
// peer must count as unknown, and be refused.
// An IPv6 client connected through ::ffff:127.0.0.1 is found like an IPv4 one.
// The process holding a live client socket is found by the socket (polkit is
// asked about it).
TEST(PeerOwnerTest, FindsTheClientsUserByNetlinkAndProcOnlyWhileItHoldsItsSocket) {
  UniqueFd listener(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)), clients[3], servers[3];
  struct sockaddr_in addr {AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
  socklen_t len = sizeof addr;
  ::bind(listener.get(), reinterpret_cast<sockaddr*>(&addr), len);
  ::listen(listener.get(), 3);
  ::getsockname(listener.get(), reinterpret_cast<sockaddr*>(&addr), &len);
  struct sockaddr_in6 mapped {AF_INET6, addr.sin_port, 0, {}, 0};
  ASSERT_EQ(::inet_pton(AF_INET6, "::ffff:127.0.0.1", &mapped.sin6_addr), 1);
  for (int i = 0; i < 3; ++i) {
    clients[i].reset(::socket(i == 2 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    ASSERT_EQ(i == 2 ? ::connect(clients[i].get(), reinterpret_cast<sockaddr*>(&mapped), sizeof mapped)
                     : ::connect(clients[i].get(), reinterpret_cast<sockaddr*>(&addr), len), 0);
    servers[i].reset(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
  }
  clients[1].reset();  // the kernel keeps its socket a while, without an owner
  findPeerOwner(servers[1].get());  // opens the one netlink socket that is kept
  const auto fds = [] { return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {}); };
  const auto before = fds();
  for (PeerLookup how : {PeerLookup::kNetlink, PeerLookup::kProcNetTcp, PeerLookup::kAny}) {
    for (int i : {0, 2}) {
      struct stat client {};
      ::fstat(clients[i].get(), &client);
      const PeerOwner held = findPeerOwner(servers[i].get(), how);
      EXPECT_TRUE(held.found && held.uid == ::geteuid() && held.inode == client.st_ino) << i << held.failure;
    }
    const PeerOwner gone = findPeerOwner(servers[1].get(), how);
    EXPECT_TRUE(!gone.found && !gone.failure.empty()) << "uid " << gone.uid;
  }
  EXPECT_EQ(fds(), before);
  // The process holding the client's socket, for polkit: this one, with its start time.
  const std::optional<PeerProcess> holder = findPeerProcess(findPeerOwner(servers[0].get()));
  EXPECT_TRUE(holder && holder->pid == ::getpid() && holder->uid == ::geteuid() && holder->startTime > 0);
  EXPECT_FALSE(findPeerProcess(findPeerOwner(servers[1].get())));
}

}  // namespace
