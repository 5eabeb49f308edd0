#include "control/update_job.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "daemon/io.h"
#include "fake_command_runner.h"

namespace {

namespace fs = std::filesystem;

// A private directory under the test temp dir, removed with everything in it.
class TempDir {
 public:
  TempDir() {
    std::string tmpl = ::testing::TempDir() + "update_job_test.XXXXXX";
    char* p = ::mkdtemp(tmpl.data());
    if (p == nullptr) std::abort();
    path_ = p;
  }
  ~TempDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

std::string touch(const std::string& path) {
  std::ofstream(path) << "not really a package";
  return path;
}

// The job script as the client-side tooling and the packaging expect it.
const std::vector<std::string> kExpectedLines = {
    "#!/bin/bash\n",
    "#dpkg -r tundra-fox\n",
    "## stop and close old instance\n",
    "if pid=$(pgrep 'tundra_fox'); then\n",
    "  kill -9 $pid\n",
    "fi\n",
    "sudo systemctl stop tundrafoxd\n",
    "for pid in $(ps aux | awk '/tundrafoxd/ {print $2}'); do sudo kill -9 $pid; done\n",
    "for pid in $(ps aux | awk '/tundrafoxd/ {print $2}'); do sudo kill -23 $pid; done\n",
    "## install new instans\n",
    "@INSTALL@",
    "#sudo apt -f -y install\n",
    "## run new instanse\n",
    "##Detect the name of the display in use\n",
    "display=\":$(ls /tmp/.X11-unix/* | sed 's#/tmp/.X11-unix/X##' | head -n 1)\"\n",
    "if [ $display = \":\" ]; then\n",
    "  display=\":0\"\n",
    "fi\n",
    "##Detect the user using such display\n",
    "user=$(who | grep '('$display')' | awk '{print $1}' | head -n 1)\n",
    "export DISPLAY=$display\n",
    "#if value=$(sudo logname); then\n",
    "if value=$user; then\n",
    "  #echo \"Found logged user\"\n",
    "  su -l $value -c 'tundra_fox -style=gtk &'\n",
    "else\n",
    "  #echo \"Could not find logged user. Run from root\"\n",
    "  tundra_fox -style=gtk &\n",
    "fi\n",
};

std::string expectedScript(const std::string& packagePath) {
  std::string s;
  for (const std::string& line : kExpectedLines) s += line == "@INSTALL@" ? "dpkg -i \"" + packagePath + "\"\n" : line;
  return s;
}

// One installUpdate call against a real FireWall driven by the fake runner,
// with the kill switch on beforehand, recording what the job did.
class UpdateJobTest : public ::testing::Test {
 protected:
  UpdateJobTest()
      : dataDir_(tmp_.path() + "/data"),
        firewall_(dataDir_, runner_),
        ctx_(firewall_, runner_, [this] { return onStopListening(); }, dataDir_) {
    ctx_.logInfo = [this](const std::string& line) { log_.push_back(line); };
    out_ = std::tmpfile();
    ctx_.out = out_;
  }
  ~UpdateJobTest() override { std::fclose(out_); }

  void SetUp() override {
    ASSERT_TRUE(firewall_.firewallOn("10.1.2.3", true, false, false, false));
    firewall_.waitIdle();
    ASSERT_TRUE(firewall_.killSwitchOn());
    commandsBefore_ = runner_.commands().size();
  }

  int onStopListening() {
    ++stopCalls_;
    killSwitchAtStop_ = firewall_.killSwitchOn();
    return listeningFd_;
  }

  std::string printed() {
    std::fflush(out_);
    std::rewind(out_);
    std::string s;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, out_)) > 0) s.append(buf, n);
    return s;
  }

  std::string scriptPath() const { return dataDir_ + "/autoupdate-job.sh"; }

  // Nothing was stopped, written or run, and one refusal line was logged.
  void expectRefusedUntouched() {
    firewall_.waitIdle();
    EXPECT_TRUE(firewall_.killSwitchOn());
    EXPECT_EQ(stopCalls_, 0);
    EXPECT_FALSE(fs::exists(scriptPath()));
    EXPECT_EQ(runner_.commands().size(), commandsBefore_);
    EXPECT_EQ(printed(), "");
    ASSERT_EQ(log_.size(), 1u);
  }

  TempDir tmp_;
  std::string dataDir_;
  FakeCommandRunner runner_;
  FireWall firewall_;
  UpdateJobContext ctx_;
  std::FILE* out_ = nullptr;
  std::vector<std::string> log_;
  size_t commandsBefore_ = 0;
  int stopCalls_ = 0;
  bool killSwitchAtStop_ = true;
  int listeningFd_ = 7;
};

TEST(UpdateJobScriptTest, ScriptIsTheTwentyNineLinesByteForByte) {
  const std::string script = updateJobScript("/home/u/Downloads/tundra fox 2.0.deb");
  EXPECT_EQ(script, expectedScript("/home/u/Downloads/tundra fox 2.0.deb"));
  EXPECT_EQ(std::count(script.begin(), script.end(), '\n'), 29);
  EXPECT_TRUE(script.starts_with("#!/bin/bash\n#dpkg -r tundra-fox\n"));
  EXPECT_TRUE(script.ends_with("  tundra_fox -style=gtk &\nfi\n"));
  // Blanks stay inside the quotes: one argument for dpkg.
  EXPECT_NE(script.find("\ndpkg -i \"/home/u/Downloads/tundra fox 2.0.deb\"\n#sudo apt"), std::string::npos);
}

TEST(UpdateJobScriptTest, LongPathIsNeverCut) {
  const std::string longPath = "/" + std::string(600, 'a') + ".deb";
  const std::string script = updateJobScript(longPath);
  EXPECT_NE(script.find("dpkg -i \"" + longPath + "\"\n#sudo apt -f -y install\n"), std::string::npos);
}

TEST(UpdateJobScriptTest, PathAndLaunchCommand) {
  EXPECT_EQ(updateJobScriptPath("/usr/share/tundra_fox"), "/usr/share/tundra_fox/autoupdate-job.sh");
  EXPECT_EQ(updateLaunchCommand("/usr/share/tundra_fox/autoupdate-job.sh"),
            "(sleep 5 && sh \"/usr/share/tundra_fox/autoupdate-job.sh\" >/dev/null) &");
}

TEST(PackagePathCheckTest, AcceptsOnlyAbsolutePlainPathsToRegularFiles) {
  TempDir tmp;
  const std::string dir = tmp.path();
  const std::string good = touch(dir + "/tundra fox (2.0)'s.deb");
  EXPECT_EQ(checkPackagePath(good), PackagePathCheck::kOk);
  ASSERT_EQ(::symlink(good.c_str(), (dir + "/link.deb").c_str()), 0);
  EXPECT_EQ(checkPackagePath(dir + "/link.deb"), PackagePathCheck::kOk);

  EXPECT_EQ(checkPackagePath(""), PackagePathCheck::kEmpty);
  EXPECT_EQ(checkPackagePath("pkg.deb"), PackagePathCheck::kNotAbsolute);
  EXPECT_EQ(checkPackagePath(dir + "/missing.deb"), PackagePathCheck::kNotFound);
  EXPECT_EQ(checkPackagePath(dir), PackagePathCheck::kNotRegularFile);
  ASSERT_EQ(::mkfifo((dir + "/fifo.deb").c_str(), 0600), 0);
  EXPECT_EQ(checkPackagePath(dir + "/fifo.deb"), PackagePathCheck::kNotRegularFile);
  // Existing files whose names would break out of the double quotes.
  for (const char* name : {"/a\"b.deb", "/a$(id).deb", "/a`id`.deb", "/a\\b.deb", "/a\nreboot\n.deb"}) {
    const std::string p = touch(dir + name);
    EXPECT_EQ(checkPackagePath(p), PackagePathCheck::kUnsafeCharacter) << p;
  }
}

TEST_F(UpdateJobTest, WritesJobTurnsFirewallOffStopsListenerThenLaunches) {
  const std::string pkg = touch(tmp_.path() + "/tundra fox.deb");
  ASSERT_TRUE(installUpdate(pkg, ctx_));

  EXPECT_EQ(stopCalls_, 1);
  EXPECT_FALSE(killSwitchAtStop_) << "the firewall must be off before the listener stops";

  std::string onDisk;
  ASSERT_TRUE(readFile(scriptPath(), &onDisk));
  EXPECT_EQ(onDisk, expectedScript(pkg));
  EXPECT_EQ(printed(), "Autoupdate sh file: " + scriptPath() + "\n****************\n" + onDisk + "****************\n");

  const std::string launch = "(sleep 5 && sh \"" + scriptPath() + "\" >/dev/null) &";
  // The firewall's own commands may still be queued around it.
  const std::vector<std::string> cmds = runner_.commands();
  EXPECT_EQ(std::count(cmds.begin(), cmds.end(), launch), 1);
  EXPECT_EQ(log_, (std::vector<std::string>{"close(7)", "install update: " + launch}));
}

TEST_F(UpdateJobTest, OverwritesAnEarlierJobAndLogsNoCloseWithoutListener) {
  ASSERT_TRUE(replaceFileAtomically(scriptPath(), std::string(5000, 'x'), 0600));
  listeningFd_ = 0;
  const std::string pkg = touch(tmp_.path() + "/b.deb");
  ASSERT_TRUE(installUpdate(pkg, ctx_));
  std::string onDisk;
  ASSERT_TRUE(readFile(scriptPath(), &onDisk));
  EXPECT_EQ(onDisk, expectedScript(pkg));
  ASSERT_EQ(log_.size(), 1u);
  EXPECT_TRUE(log_[0].starts_with("install update: ")) << log_[0];
}

TEST_F(UpdateJobTest, RefusesRelativePath) {
  touch(tmp_.path() + "/rel.deb");
  EXPECT_FALSE(installUpdate("rel.deb", ctx_));
  expectRefusedUntouched();
  EXPECT_EQ(log_[0], "install update refused (not an absolute path): rel.deb");
}

TEST_F(UpdateJobTest, RefusesMissingFileAndDirectory) {
  EXPECT_FALSE(installUpdate(tmp_.path() + "/none.deb", ctx_));
  expectRefusedUntouched();
  log_.clear();
  EXPECT_FALSE(installUpdate(tmp_.path(), ctx_));
  expectRefusedUntouched();
}

TEST_F(UpdateJobTest, RefusesShellSpecialCharactersAndLogsThemHarmlessly) {
  const std::string pkg = touch(tmp_.path() + "/x\";reboot;\n\".deb");
  EXPECT_FALSE(installUpdate(pkg, ctx_));
  expectRefusedUntouched();
  EXPECT_EQ(log_[0].find('\n'), std::string::npos) << "a newline in the path must not split the log line";
}

TEST_F(UpdateJobTest, UnwritableJobScriptFailsBeforeAnythingStops) {
  ctx_.dataDir = tmp_.path() + "/no-such-dir";
  EXPECT_FALSE(installUpdate(touch(tmp_.path() + "/c.deb"), ctx_));
  firewall_.waitIdle();
  EXPECT_TRUE(firewall_.killSwitchOn());
  EXPECT_EQ(stopCalls_, 0);
  EXPECT_EQ(runner_.commands().size(), commandsBefore_);
  ASSERT_EQ(log_.size(), 1u);
  EXPECT_EQ(log_[0], "install update failed: cannot write " + tmp_.path() + "/no-such-dir/autoupdate-job.sh");
}

TEST_F(UpdateJobTest, ShellThatCannotStartIsReportedAsFailure) {
  runner_.setHook([](const std::string& cmd) { return cmd.starts_with("(sleep 5") ? -1 : 0; });
  EXPECT_FALSE(installUpdate(touch(tmp_.path() + "/d.deb"), ctx_));
  ASSERT_FALSE(log_.empty());
  EXPECT_TRUE(log_.back().starts_with("install update failed: could not start the shell")) << log_.back();
}

}  // namespace
