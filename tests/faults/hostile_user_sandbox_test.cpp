// alice owns the product tree after a first root install and races every later root run: she
// exchanges names for links, plants links where files are read, replaces the launcher, and
// flips a fixed name in /tmp between a file and a directory. Each row runs 50 installs and 50
// removals against her; root-only canaries keep their content, owner and mode, no file she may
// read holds a canary's bytes, and nothing she wrote runs as root.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "tests/faults/canary.h"
#include "tests/faults/racer.h"
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

struct Row {
  const char* name;
  // Prepares the product (as root, as alice would have it) and answers alice's loop.
  std::function<std::function<void(Racer&)>(const Product&, const Canary&)> plant;
  // Whether her loop changes names (counted); her launcher only waits to be run.
  bool changesNames = true;
};

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
         return [real, link](Racer& racer) { racer.exchange(real, link); };
       }},
      // deploy/install.xml, which every run backs up, is a link to the canary.
      {"install.xml replaced by a link",
       [](const Product& p, const Canary& canary) {
         const std::string manifest = p.deploy("install.xml"), stash = p.deploy("install.real");
         EXPECT_EQ(::rename(manifest.c_str(), stash.c_str()), 0);
         return [manifest, target = canary.path()](Racer& racer) {
           ::unlink(manifest.c_str());
           const bool planted = ::symlink(target.c_str(), manifest.c_str()) == 0;
           racer.counted(planted);
           if (planted) ::usleep(2000);
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
         return [](Racer&) { ::pause(); };
       },
       false},
      // /tmp/qel.config flips between her file and her directory, which holds a root file.
      {"qel.config flipped to a directory",
       [](const Product&, const Canary&) {
         const std::string tree = "/tmp/.qel-tree";
         EXPECT_EQ(::mkdir(tree.c_str(), 0755), 0);
         EXPECT_EQ(::chown(tree.c_str(), alice().uid, alice().gid), 0);
         EXPECT_TRUE(testing::writeFile(tree + "/secret", Canary::kContent, 0600));
         return [tree](Racer& racer) {
           const int fd = ::open(apply_scenario::QEL_CONFIG, O_CREAT | O_WRONLY, 0644);
           if (fd >= 0) ::close(fd);
           racer.exchange(tree, apply_scenario::QEL_CONFIG);
         };
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
    const Canary canary("/root/hostile/data");
    const Product product(dir + "/Applications");
    const Package package(dir + "/package");
    testing::removeTree(kUids);
    // The first install gives her the tree.
    ASSERT_EQ(apply_scenario::patchapply({package.path, dir + "/Applications"}).exitStatus, 0);
    Racer racer(alice().uid, alice().gid, row.plant(product, canary));
    int installed = 0, removed = 0;
    for (int round = 0; round < kRounds; ++round) {
      installed +=
          apply_scenario::patchapply({package.path, dir + "/Applications"}).exitStatus == 0;
      removed += testing::runProgram(
                     {testing::binDir() + "/patchremove", "-rcphome", product.platformHome})
                     .exitStatus == 0;
    }
    EXPECT_TRUE(racer.stop()) << "she could not race";
    std::printf("%s: %d installs and %d removals of %d succeeded, %ld of her changes took place\n",
                row.name, installed, removed, kRounds, racer.changes());
    if (row.changesNames) {
      EXPECT_GT(racer.changes(), 0) << "none of her changes took place";
    }
    canary.expectUnchanged();
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
  }
}

}  // namespace
}  // namespace rcpinstall::faults
