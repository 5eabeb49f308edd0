// Who may drive the daemon: the rule over a fake user database and session
// manager, and the owner lookup of real loopback connections.
#include <arpa/inet.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include "base/peer_owner.h"
#include "base/unique_fd.h"
#include "control/peer_access.h"
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
TEST(PeerOwnerTest, FindsTheClientsUserByNetlinkAndProcOnlyWhileItHoldsItsSocket) {
  UniqueFd listener(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)), clients[2], servers[2];
  struct sockaddr_in addr {AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
  socklen_t len = sizeof addr;
  ::bind(listener.get(), reinterpret_cast<sockaddr*>(&addr), len);
  ::listen(listener.get(), 2);
  ::getsockname(listener.get(), reinterpret_cast<sockaddr*>(&addr), &len);
  for (int i = 0; i < 2; ++i) {
    clients[i].reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    ASSERT_EQ(::connect(clients[i].get(), reinterpret_cast<sockaddr*>(&addr), len), 0);
    servers[i].reset(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
  }
  clients[1].reset();  // the kernel keeps its socket a while, without an owner
  findPeerOwner(servers[1].get());  // opens the one netlink socket that is kept
  const auto fds = [] { return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {}); };
  const auto before = fds();
  struct stat client0 {};
  ::fstat(clients[0].get(), &client0);
  for (PeerLookup how : {PeerLookup::kNetlink, PeerLookup::kProcNetTcp, PeerLookup::kAny}) {
    const PeerOwner held = findPeerOwner(servers[0].get(), how), gone = findPeerOwner(servers[1].get(), how);
    EXPECT_TRUE(held.found && held.uid == ::geteuid() && held.inode == client0.st_ino) << held.failure;
    EXPECT_TRUE(!gone.found && !gone.failure.empty()) << "uid " << gone.uid;
  }
  EXPECT_EQ(fds(), before);
  std::string logged;
  RefusalLog log([&](std::string_view line) { logged += line; });
  FakeSources db;
  PeerOwner peer;
  EXPECT_FALSE(admitControlPeer(servers[1].get(), db, log, &peer));  // though its uid field reads 0
  EXPECT_TRUE(logged.starts_with("refused request from an unknown peer: ")) << logged;
}

}  // namespace
