// Who may drive the daemon: the rule over a fake user database and session
// manager, the rate of refusal lines, and the owner lookup of real loopback
// connections.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <filesystem>
#include <map>
#include <optional>

#include "base/peer_owner.h"
#include "base/unique_fd.h"
#include "control/peer_access.h"

namespace {

constexpr gid_t kGroup = 990;

struct FakeSources : AccessSources {
  std::map<uid_t, std::vector<gid_t>> users;  // the user database: uid -> groups
  std::optional<gid_t> group = kGroup;        // the group tundrafox
  std::map<uid_t, int> seats;                 // active local seats per user
  bool groupsOf(uid_t uid, std::vector<gid_t>* groups) override {
    auto it = users.find(uid);
    if (it == users.end()) return false;
    *groups = it->second;
    return true;
  }
  bool groupId(const char* name, gid_t* gid) override {
    if (std::string(name) != "tundrafox" || !group) return false;
    *gid = *group;
    return true;
  }
  int activeSeats(uid_t uid) override { return seats.count(uid) ? seats[uid] : 0; }
};

TEST(AccessRuleTest, RootGroupMembersAndActiveSeatUsersOnly) {
  FakeSources db;
  db.users = {{1001, {kGroup}}, {1002, {1002, 27, kGroup}}, {1003, {1003}}, {1004, {1004}}, {1005, {1005}}};
  db.seats = {{1003, 1}, {1005, -5}};
  const struct {
    uid_t uid;
    Access expected;
  } cases[] = {
      {0, Access::kRoot},             // no user database entry needed
      {1001, Access::kGroupMember},   // primary group
      {1002, Access::kGroupMember},   // supplementary group
      {1003, Access::kActiveSeat},    // active on a local seat
      {1004, Access::kRefused},       // no active seat: inactive, online only, or none
      {1005, Access::kRefused},       // the session query failed
      {4242, Access::kRefused},       // unknown to the user database
  };
  for (const auto& c : cases) EXPECT_EQ(decideAccess(c.uid, db), c.expected) << "uid " << c.uid;
  db.group.reset();  // no group tundrafox on this machine
  EXPECT_EQ(decideAccess(1001, db), Access::kRefused);
  EXPECT_EQ(decideAccess(1003, db), Access::kActiveSeat);
}

TEST(RefusalLogTest, AFewLinesASecondThenTheCountOfThoseLeftOut) {
  std::vector<std::string> lines;
  RefusalLog log([&](std::string_view l) { lines.emplace_back(l); });
  const auto t0 = RefusalLog::Clock::now();
  for (int i = 0; i < 100; ++i) log.log("line " + std::to_string(i), t0 + std::chrono::milliseconds(i * 9));
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines[4], "line 4");
  log.log("late", t0 + std::chrono::milliseconds(1000));
  ASSERT_EQ(lines.size(), 7u);
  EXPECT_EQ(lines[5], "95 more refused requests not logged");
  EXPECT_EQ(lines[6], "late");
}

// A connected pair on loopback; `server` is the accepted end.
struct Connection {
  UniqueFd listener, client, server;
};
Connection connectLoopback() {
  Connection c;
  c.listener.reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  struct sockaddr_in addr {};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  EXPECT_EQ(::bind(c.listener.get(), reinterpret_cast<sockaddr*>(&addr), len), 0);
  EXPECT_EQ(::listen(c.listener.get(), 4), 0);
  EXPECT_EQ(::getsockname(c.listener.get(), reinterpret_cast<sockaddr*>(&addr), &len), 0);
  c.client.reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  EXPECT_EQ(::connect(c.client.get(), reinterpret_cast<sockaddr*>(&addr), len), 0);
  c.server.reset(::accept4(c.listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
  return c;
}

size_t openDescriptors() {
  return static_cast<size_t>(std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {}));
}

TEST(PeerOwnerTest, FindsTheClientsUserByNetlinkAndProcOnlyWhileItHoldsItsSocket) {
  findPeerOwner(connectLoopback().server.get());  // opens the one netlink socket that is kept
  const size_t before = openDescriptors();
  for (PeerLookup how : {PeerLookup::kNetlink, PeerLookup::kProcNetTcp, PeerLookup::kAny}) {
    Connection live = connectLoopback();
    PeerOwner owner = findPeerOwner(live.server.get(), how);
    EXPECT_TRUE(owner.found) << owner.failure;
    EXPECT_EQ(owner.uid, ::geteuid());
    // The client's socket belongs to nobody once closed (the kernel reports
    // such sockets as root's), and is gone after a reset.
    for (bool reset : {false, true}) {
      Connection gone = connectLoopback();
      if (reset) {
        struct linger lin {1, 0};
        ::setsockopt(gone.client.get(), SOL_SOCKET, SO_LINGER, &lin, sizeof lin);
      }
      gone.client.reset();
      owner = findPeerOwner(gone.server.get(), how);
      EXPECT_FALSE(owner.found) << "reset " << reset << ", uid " << owner.uid;
      EXPECT_FALSE(owner.failure.empty());
    }
  }
  EXPECT_EQ(openDescriptors(), before);
}

TEST(PeerAccessTest, UnknownOwnerIsRefusedAndLogged) {
  std::vector<std::string> lines;
  RefusalLog log([&](std::string_view l) { lines.emplace_back(l); });
  FakeSources db;
  UniqueFd notConnected(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  EXPECT_FALSE(admitControlPeer(notConnected.get(), db, log));
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].rfind("refused request from an unknown peer: no peer address: ", 0), 0u) << lines[0];
}

}  // namespace
