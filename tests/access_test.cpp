// Who may drive the daemon: the rule over a fake user database and session
// manager, and the owner lookup of real loopback connections.
#include <arpa/inet.h>
#include <sys/socket.h>

#include <map>

#include "base/peer_owner.h"
#include "base/unique_fd.h"
#include "control/peer_access.h"
#include "spine_test_support.h"

namespace {

constexpr gid_t kGroup = 990;

struct FakeSources : AccessSources {
  std::map<uid_t, std::vector<gid_t>> users = {{1001, {kGroup}}, {1003, {1003}}, {1005, {1005}}};
  std::map<uid_t, int> seats = {{1003, 1}, {1005, -5}};  // active local seats; -5: the query failed
  bool hasGroup = true;                                   // the group tundrafox exists
  bool groupsOf(uid_t uid, std::vector<gid_t>* groups) override {
    if (users.count(uid) != 0) *groups = users[uid];
    return users.count(uid) != 0;
  }
  bool groupId(const char* name, gid_t* gid) override {
    *gid = kGroup;
    return hasGroup && std::string(name) == "tundrafox";
  }
  int activeSeats(uid_t uid) override { return seats.count(uid) != 0 ? seats[uid] : 0; }
};

// The group and seat cases that a real user database cannot easily stage;
// integration/access_itest.cpp shows the rule with the real ones.
TEST(AccessRuleTest, RootGroupMembersAndActiveSeatUsersOnly) {
  FakeSources db;
  EXPECT_EQ(decideAccess(0, db), Access::kRoot);  // no user database entry needed
  EXPECT_EQ(decideAccess(1001, db), Access::kGroupMember);  // primary group
  EXPECT_EQ(decideAccess(1003, db), Access::kActiveSeat);
  EXPECT_EQ(decideAccess(1005, db), Access::kRefused);  // the session query failed
  EXPECT_EQ(decideAccess(4242, db), Access::kRefused);  // unknown to the user database
  db.hasGroup = false;
  EXPECT_EQ(decideAccess(1001, db), Access::kRefused);
  EXPECT_EQ(decideAccess(1003, db), Access::kActiveSeat);
}

// A connected pair on loopback.
struct Connection {
  UniqueFd listener{::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)}, client, server;
  Connection() {
    struct sockaddr_in addr {AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t len = sizeof addr;
    ::bind(listener.get(), reinterpret_cast<sockaddr*>(&addr), len);
    ::listen(listener.get(), 4);
    ::getsockname(listener.get(), reinterpret_cast<sockaddr*>(&addr), &len);
    client.reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    EXPECT_EQ(::connect(client.get(), reinterpret_cast<sockaddr*>(&addr), len), 0);
    server.reset(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
  }
};

size_t openDescriptors() {
  return static_cast<size_t>(std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {}));
}

// The kernel reports a socket that its process has closed as root's: such a
// peer must count as unknown, and be refused.
TEST(PeerOwnerTest, FindsTheClientsUserByNetlinkAndProcOnlyWhileItHoldsItsSocket) {
  findPeerOwner(Connection().server.get());  // opens the one netlink socket that is kept
  const size_t before = openDescriptors();
  for (PeerLookup how : {PeerLookup::kNetlink, PeerLookup::kProcNetTcp, PeerLookup::kAny}) {
    PeerOwner owner = findPeerOwner(Connection().server.get(), how);
    EXPECT_TRUE(owner.found && owner.uid == ::geteuid()) << owner.failure;
    for (bool reset : {false, true}) {  // closed, or gone after a reset
      Connection gone;
      struct linger lin {1, 0};
      if (reset) ::setsockopt(gone.client.get(), SOL_SOCKET, SO_LINGER, &lin, sizeof lin);
      gone.client.reset();
      owner = findPeerOwner(gone.server.get(), how);
      EXPECT_FALSE(owner.found) << "reset " << reset << ", uid " << owner.uid;
      EXPECT_FALSE(owner.failure.empty());
    }
  }
  EXPECT_EQ(openDescriptors(), before);
  Connection gone;
  gone.client.reset();
  std::vector<std::string> lines;
  RefusalLog log([&](std::string_view l) { lines.emplace_back(l); });
  FakeSources db;
  EXPECT_FALSE(admitControlPeer(gone.server.get(), db, log));  // though its uid field reads 0
  EXPECT_TRUE(lines.size() == 1 && lines[0].starts_with("refused request from an unknown peer: ")) << lines.size();
}

}  // namespace
