#include "control/update_job.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "base/io.h"
#include "firewall/firewall.h"
#include "fake_command_runner.h"
#include "spine_test_support.h"

namespace {

std::string touch(const std::string& path) {
  std::ofstream(path) << "not really a package";
  return path;
}

// The job script as the client-side tooling and the packaging expect it.
std::string expectedScript(const std::string& packagePath) {
  return R"job(#!/bin/bash
#dpkg -r tundra-fox
## stop and close old instance
if pid=$(pgrep 'tundra_fox'); then
  kill -9 $pid
fi
sudo systemctl stop tundrafoxd
for pid in $(ps aux | awk '/tundrafoxd/ {print $2}'); do sudo kill -9 $pid; done
for pid in $(ps aux | awk '/tundrafoxd/ {print $2}'); do sudo kill -23 $pid; done
## install new instans
dpkg -i ")job" + packagePath + R"job("
#sudo apt -f -y install
## run new instanse
##Detect the name of the display in use
display=":$(ls /tmp/.X11-unix/* | sed 's#/tmp/.X11-unix/X##' | head -n 1)"
if [ $display = ":" ]; then
  display=":0"
fi
##Detect the user using such display
user=$(who | grep '('$display')' | awk '{print $1}' | head -n 1)
export DISPLAY=$display
#if value=$(sudo logname); then
if value=$user && [ -n "$value" ] && [ "$value" != root ]; then
  #echo "Found logged user"
  su -l $value -c 'tundra_fox -style=gtk &'
else
  #echo "Could not find logged user. Run from root"
  : # the client is not started as root
fi
)job";
}

// installUpdate against a real FireWall driven by the fake runner, with the
// kill switch on beforehand, recording what the job did.
class UpdateJobTest : public ::testing::Test {
 protected:
  UpdateJobTest() : firewall_(dataDir_, runner_), ctx_{firewall_, runner_, [this] { return onStop(); }} {}

  void SetUp() override {
    ASSERT_TRUE(firewall_.firewallOn("10.1.2.3", true, false, false, false));
    firewall_.waitIdle();
    ASSERT_TRUE(firewall_.killSwitchOn());
    commandsBefore_ = runner_.commands().size();
  }

  int onStop() {
    ++stopCalls_;
    killSwitchAtStop_ = firewall_.killSwitchOn();
    return 7;
  }

  ScopedTempDir tmp_;
  std::string dataDir_ = tmp_.file("data"), scriptPath_ = dataDir_ + "/autoupdate-job.sh";
  FakeCommandRunner runner_;
  FireWall firewall_;
  UpdateJobContext ctx_;
  size_t commandsBefore_ = 0;
  int stopCalls_ = 0;
  bool killSwitchAtStop_ = true;
};

TEST(PackagePathCheckTest, AcceptsOnlyAbsolutePlainPathsToRegularFiles) {
  ScopedTempDir tmp;
  ASSERT_EQ(::mkfifo(tmp.file("fifo.deb").c_str(), 0600), 0);
  EXPECT_EQ(checkPackagePath(touch(tmp.file("tundra fox (2.0)'s.deb"))), PackagePathCheck::kOk);
  EXPECT_EQ(checkPackagePath(""), PackagePathCheck::kEmpty);
  EXPECT_EQ(checkPackagePath("pkg.deb"), PackagePathCheck::kNotAbsolute);
  EXPECT_EQ(checkPackagePath(tmp.file("missing.deb")), PackagePathCheck::kNotFound);
  EXPECT_EQ(checkPackagePath(tmp.file("fifo.deb")), PackagePathCheck::kNotRegularFile);
  // Existing files whose names would break out of the double quotes.
  for (const char* name : {"a\"b.deb", "a$(id).deb", "a`id`.deb", "a\\b.deb", "a\nreboot\n.deb"}) {
    EXPECT_EQ(checkPackagePath(touch(tmp.file(name))), PackagePathCheck::kUnsafeCharacter) << name;
  }
}

TEST_F(UpdateJobTest, WritesWholeJobTurnsFirewallOffStopsListenerThenLaunches) {
  ASSERT_TRUE(replaceFileAtomically(scriptPath_, std::string(5000, 'x'), 0600));  // an earlier job
  const std::string pkg = touch(tmp_.file("tundra fox.deb"));
  std::string printed;
  printed = captureFd(STDOUT_FILENO, tmp_.file("out"), [&] { ASSERT_TRUE(installUpdate(pkg, ctx_)); });
  EXPECT_EQ(stopCalls_, 1);
  EXPECT_FALSE(killSwitchAtStop_) << "the firewall must be off before the listener stops";
  EXPECT_EQ(readWholeFile(scriptPath_), expectedScript(pkg));
  const std::string longPath = "/" + std::string(600, 'a');
  EXPECT_EQ(updateJobScript(longPath), expectedScript(longPath)) << "a long path must never be cut";
  EXPECT_THAT(printed, ::testing::EndsWith("Autoupdate sh file: " + scriptPath_ + "\n****************\n" + expectedScript(pkg) +
                           "****************\n"));
  const std::string launch = "(sleep 5 && sh \"" + scriptPath_ + "\" >/dev/null) &";
  const std::vector<std::string> cmds = runner_.commands();  // the firewall's own may be queued around it
  EXPECT_EQ(std::count(cmds.begin(), cmds.end(), launch), 1);
}

TEST_F(UpdateJobTest, RefusedPathOrUnwritableJobStopsNothing) {
  EXPECT_FALSE(installUpdate(touch(tmp_.file("x\";reboot;\n\".deb")), ctx_));
  FireWall noDir(tmp_.file("no/such/dir"), runner_);
  EXPECT_FALSE(installUpdate(touch(tmp_.file("c.deb")), UpdateJobContext{noDir, runner_, [this] { return onStop(); }}));
  firewall_.waitIdle();
  EXPECT_TRUE(firewall_.killSwitchOn());
  EXPECT_EQ(stopCalls_, 0);
  EXPECT_EQ(runner_.commands().size(), commandsBefore_);
  EXPECT_FALSE(std::filesystem::exists(scriptPath_));
}

TEST_F(UpdateJobTest, ShellThatCannotStartIsReportedAsFailure) {
  runner_.setHook([](const std::string& cmd) { return cmd.starts_with("(sleep 5") ? -1 : 0; });
  EXPECT_FALSE(installUpdate(touch(tmp_.file("d.deb")), ctx_));
}

}  // namespace
