// alice owns the product tree after a first root install and races every later root run: she
// exchanges names for links, plants links where files are read, replaces the launcher, and
// flips a fixed name in /tmp between a file and a directory. Each row runs installs and
// removals (50 of each where she races) or a check tool against her; root-only canaries keep
// their content, owner and mode, no file she may read and nothing root printed holds a
// canary's bytes, the platform home stays root's as it was, and nothing she wrote runs as root.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <regex>
#include <string>
#include <vector>

#include "tests/faults/canary.h"
#include "tests/patchapply_scenario.h"

namespace rcpinstall::faults {
namespace {

using apply_scenario::Package;
using apply_scenario::PatchApplyScenario;
using apply_scenario::Product;
using testing::readFile;
using testing::RunResult;

constexpr int kRounds = 50;
constexpr const char* kUids = "/tmp/.launcher-uids";

struct Alice {
  uid_t uid;
  gid_t gid;
};

Alice alice() {
  const struct passwd* entry = ::getpwnam("alice");
  return entry == nullptr ? Alice{0, 0} : Alice{entry->pw_uid, entry->pw_gid};
}

// Runs the loop as alice in a child process until stop() kills it.
class Racer {
 public:
  explicit Racer(const std::function<void()>& loop) {
    pid_ = ::fork();
    if (pid_ == 0) {
      const Alice a = alice();
      if (::setgid(a.gid) != 0 || ::setuid(a.uid) != 0) ::_exit(1);
      for (;;) loop();
    }
  }
  // True when the racer was still running as alice (not ended by a failed switch).
  bool stop() {
    ::kill(pid_, SIGKILL);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    return WIFSIGNALED(status);
  }

 private:
  pid_t pid_;
};

struct stat statOf(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
  return st;
}

void swapNames(const std::string& a, const std::string& b) {
  ::renameat2(AT_FDCWD, a.c_str(), AT_FDCWD, b.c_str(), RENAME_EXCHANGE);
}

struct Row {
  const char* name;
  // Prepares the product (as root, as alice would have it) and answers alice's loop.
  std::function<std::function<void()>(const Product&, const Canary&)> plant;
  // What root runs against her when not the installs and removals: answers what it printed.
  std::function<std::string(const Product&, const Package&)> runs = nullptr;
  testing::EnvOverrides env = {{"USER", "alice"}};
  std::string canaryDirectory = "/root/hostile/data";
  int rounds = kRounds;
};

std::string hotfixcheck(const std::vector<std::string>& arguments) {
  std::vector<std::string> argv = {testing::binDir() + "/hotfixcheck"};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  const RunResult run = testing::runProgram(argv, {{"USER", "alice"}});
  return run.out + run.err;
}

void asAlice(const std::string& command) {
  const RunResult run = testing::runProgram({"/bin/sh", "-c", command}, {}, "alice");
  EXPECT_EQ(run.exitStatus, 0) << command << run.err;
}

// Her edit of rcp.data (made by root here: the rcp home itself stays root's).
void setWorkspace(const Product& p, const std::string& value) {
  const std::string file = p.rcp("ignitor.properties");
  EXPECT_TRUE(
      testing::writeFile(file,
                         std::regex_replace(readFile(file).value_or(""),
                                            std::regex("rcp\\.data=[^\n]*"), "rcp.data=" + value),
                         0775));
  EXPECT_EQ(::chown(file.c_str(), alice().uid, alice().gid), 0);
}

std::vector<Row> rows() {
  return {
      // The workspace named by rcp.data lies in her deploy directory; she exchanges the
      // directory above it with a link to the one above the canary's ("data").
      {"workspace swapped for a link",
       [](const Product& p, const Canary& canary) {
         const std::string real = p.deploy("ws"), link = p.deploy("ws-link");
         EXPECT_EQ(
             std::system(
                 ("mkdir -p '" + real + "/data/logs' && chown -R alice '" + real + "'").c_str()),
             0);
         const std::string above = canary.directory().substr(0, canary.directory().rfind('/'));
         EXPECT_EQ(::symlink(above.c_str(), link.c_str()), 0);
         EXPECT_EQ(::lchown(link.c_str(), alice().uid, alice().gid), 0);
         EXPECT_EQ(std::system(("sed -i 's|^rcp.data=.*|rcp.data=" + real + "/data|' '" +
                                p.rcp("ignitor.properties") + "'")
                                   .c_str()),
                   0);
         return [real, link] { swapNames(real, link); };
       }},
      // deploy/install.xml, which every run backs up, is a link to the canary.
      {"install.xml replaced by a link",
       [](const Product& p, const Canary& canary) {
         const std::string manifest = p.deploy("install.xml"), stash = p.deploy("install.real");
         EXPECT_EQ(::rename(manifest.c_str(), stash.c_str()), 0);
         return [manifest, target = canary.path()] {
           ::unlink(manifest.c_str());
           if (::symlink(target.c_str(), manifest.c_str()) == 0) ::usleep(2000);
         };
       }},
      // Her launcher notes who runs it, then starts the real one.
      {"launcher replaced by a script",
       [](const Product& p, const Canary&) {
         const std::string real = p.rcp("ignitor.real");
         EXPECT_EQ(::rename(p.rcp("ignitor").c_str(), real.c_str()), 0);
         EXPECT_TRUE(testing::writeFile(
             p.rcp("ignitor"),
             "#!/bin/sh\nid -u >> " + std::string(kUids) + "\nexec '" + real + "' \"$@\"\n", 0775));
         EXPECT_EQ(::chown(p.rcp("ignitor").c_str(), alice().uid, alice().gid), 0);
         return [] { ::pause(); };
       }},
      // /tmp/qel.config flips between her file and her directory, which holds a root file.
      {"qel.config flipped to a directory",
       [](const Product&, const Canary&) {
         const std::string tree = "/tmp/.qel-tree";
         EXPECT_EQ(::mkdir(tree.c_str(), 0755), 0);
         EXPECT_EQ(::chown(tree.c_str(), alice().uid, alice().gid), 0);
         EXPECT_TRUE(testing::writeFile(tree + "/secret", Canary::kContent, 0600));
         return [tree] {
           const int fd = ::open(apply_scenario::QEL_CONFIG, O_CREAT | O_WRONLY, 0644);
           if (fd >= 0) ::close(fd);
           swapNames(tree, apply_scenario::QEL_CONFIG);
         };
       }},
      // sudo -i gives root's HOME and USER; her launcher properties name ${env.HOME}/.config.
      {"HOME naming root",
       [](const Product& p, const Canary&) {
         setWorkspace(p, "${env.HOME}/.config");
         return [] { ::pause(); };
       },
       nullptr,
       {{"USER", "root"}, {"HOME", "/root"}},
       "/root/.config",
       2},
      // Her link to a root-only file, which a rehearsal as root copies.
      {"rehearsal copying a link out",
       [](const Product& p, const Canary& canary) {
         EXPECT_EQ(::symlink(canary.path().c_str(), p.deploy("notes").c_str()), 0);
         EXPECT_EQ(::lchown(p.deploy("notes").c_str(), alice().uid, alice().gid), 0);
         return [] { ::pause(); };
       },
       [](const Product& p, const Package& package) {
         return hotfixcheck(
             {"--keep", "rehearse", package.path, p.bundle.substr(0, p.bundle.rfind('/'))});
       }},
      // Her launcher, allowed to leave its result in the platform home, tries to take the
      // directory and root's executable there.
      {"platform home taken during the run",
       [](const Product& p, const Canary&) {
         const std::string real = p.rcp("ignitor.real"), home = "'" + p.platformHome + "'";
         EXPECT_TRUE(testing::writeFile(p.platformHome + "/Orrery", "root's program\n", 0755));
         EXPECT_EQ(::rename(p.rcp("ignitor").c_str(), real.c_str()), 0);
         EXPECT_TRUE(testing::writeFile(
             p.rcp("ignitor"),
             "#!/bin/sh\nchgrp staff " + home + "; chmod 2777 " + home + "; cd " + home +
                 "; mv Orrery Orrery.hers; echo hers > Orrery\nexec '" + real + "' \"$@\"\n",
             0775));
         EXPECT_EQ(::chown(p.rcp("ignitor").c_str(), alice().uid, alice().gid), 0);
         return [] { ::pause(); };
       },
       nullptr,
       {{"USER", "alice"}},
       "/root/hostile/data",
       2},
      // Her provisioning log is a link to a root-only file; status runs as root.
      {"status reading her log",
       [](const Product& p, const Canary& canary) {
         const std::string secret = canary.directory() + "/status.log";
         EXPECT_TRUE(testing::writeFile(secret, "1;2;3;4;5;6;root only: final status\n", 0600));
         asAlice("mkdir -p /home/alice/ws/logs && ln -s " + secret +
                 " /home/alice/ws/logs/provisioning.log");
         setWorkspace(p, "/home/alice/ws");
         return [] { ::pause(); };
       },
       [](const Product& p, const Package&) {
         return hotfixcheck({"status", p.platformHome});
       }},
  };
}

// Regular files below the directory that alice may read and that hold the canary's bytes
// (the checkout and its build, whose test programs hold the text too, aside).
std::vector<std::string> leaks(const std::string& directory, const std::string& canaryPath) {
  std::vector<std::string> found;
  std::error_code error;
  for (auto it = std::filesystem::recursive_directory_iterator(directory, error);
       it != std::filesystem::recursive_directory_iterator(); it.increment(error)) {
    struct stat st {};
    const std::string path = it->path().string();
    if (path == testing::sourceDir() || path == testing::binaryDir()) {
      it.disable_recursion_pending();
      continue;
    }
    if (path == canaryPath || ::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    const bool readable = st.st_uid == alice().uid || (st.st_mode & S_IROTH) != 0 ||
                          ((st.st_mode & S_IRGRP) != 0 && st.st_gid == alice().gid);
    const std::string text = readFile(path).value_or("");
    if (readable && text.find(Canary::kContent) != std::string::npos) found.push_back(path);
  }
  return found;
}

class HostileUser : public PatchApplyScenario {};

TEST_F(HostileUser, RootRunsAgainstHerRacesReachNothingOfRoot) {
  for (const Row& row : rows()) {
    SCOPED_TRACE(row.name);
    const std::string dir = scratch_ / row.name;
    ASSERT_EQ(::mkdir(dir.c_str(), 0755), 0);
    ASSERT_EQ(std::system("mkdir -p /root/hostile"), 0);
    const Canary canary(row.canaryDirectory);
    const Product product(dir + "/Applications");
    const Package package(dir + "/package");
    testing::removeTree(kUids);
    // The first install gives her the tree.
    ASSERT_EQ(apply_scenario::patchapply({package.path, dir + "/Applications"}).exitStatus, 0);
    const struct stat home = statOf(product.platformHome);
    Racer racer(row.plant(product, canary));
    int installed = 0, removed = 0;
    const std::string printed = row.runs ? row.runs(product, package) : "";
    for (int round = 0; !row.runs && round < row.rounds; ++round) {
      installed +=
          apply_scenario::patchapply({package.path, dir + "/Applications"}, row.env).exitStatus ==
          0;
      removed +=
          testing::runProgram(
              {testing::binDir() + "/patchremove", "-rcphome", product.platformHome}, row.env)
              .exitStatus == 0;
    }
    EXPECT_TRUE(racer.stop()) << "she could not race";
    std::printf("%s: %d installs and %d removals of %d succeeded\n", row.name, installed, removed,
                row.rounds);
    canary.expectUnchanged();
    EXPECT_EQ(printed.find("root only"), std::string::npos) << printed;
    // The platform home is root's as it was, without an access-control list, root's entry
    // there in place.
    const struct stat after = statOf(product.platformHome);
    EXPECT_EQ(std::vector<unsigned>({after.st_uid, after.st_gid, after.st_mode}),
              std::vector<unsigned>({home.st_uid, home.st_gid, home.st_mode}));
    EXPECT_LT(::getxattr(product.platformHome.c_str(), "system.posix_acl_access", nullptr, 0), 0);
    if (std::string(row.name).starts_with("platform home")) {
      EXPECT_EQ(readFile(product.platformHome + "/Orrery"), "root's program\n");
      EXPECT_GE(installed + removed, row.rounds) << "her launcher's runs did their work";
    }
    EXPECT_EQ(leaks(dir, canary.path()), std::vector<std::string>{});
    EXPECT_EQ(leaks("/tmp", canary.path()), std::vector<std::string>{});
    const std::string uids = readFile(kUids).value_or("");
    EXPECT_EQ(uids.find("\n0\n") == std::string::npos && !uids.starts_with("0\n"), true) << uids;
    if (std::string(row.name).starts_with("launcher")) {
      EXPECT_GE(installed + removed, kRounds) << "her launcher's runs did their work";
      EXPECT_FALSE(uids.empty());
    }
    if (std::string(row.name).starts_with("qel")) {
      EXPECT_EQ(
          readFile("/tmp/.qel-tree/secret")
              .value_or(
                  readFile(apply_scenario::QEL_CONFIG + std::string("/secret")).value_or("<gone>")),
          Canary::kContent);
      testing::removeTree("/tmp/.qel-tree");
      testing::removeTree(apply_scenario::QEL_CONFIG);
    }
    EXPECT_EQ(std::system("rm -rf /tmp/hotfixcheck.* /home/alice/ws"), 0);
  }
}

}  // namespace
}  // namespace rcpinstall::faults
