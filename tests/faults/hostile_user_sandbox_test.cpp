// alice owns the product tree after a first root install and races every later root run: she
// exchanges names for links, plants links where files are read, replaces the launcher, and
// flips a fixed name in /tmp between a file and a directory. Each race row runs 50 installs and
// 50 removals against her and counts the swaps that took place; other rows run installs,
// removals or a check tool once or twice. Root-only canaries keep their content, owner and
// mode, no file she may read and nothing root printed holds a canary's bytes, the platform home
// stays root's as it was, and nothing she wrote runs as root. bob, who has no rights on the
// tree, plants his own entries in /tmp.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/mman.h>
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

// The swaps the racers made, in memory their forked processes share.
int* const swaps = static_cast<int*>(
    ::mmap(nullptr, sizeof(int), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));

bool counted(bool done) {
  if (done) __atomic_add_fetch(swaps, 1, __ATOMIC_SEQ_CST);
  return done;
}

bool swapNames(const std::string& a, const std::string& b) {
  return counted(::renameat2(AT_FDCWD, a.c_str(), AT_FDCWD, b.c_str(), RENAME_EXCHANGE) == 0);
}

void give(const std::string& path, const char* user) {
  const struct passwd* entry = ::getpwnam(user);
  ASSERT_NE(entry, nullptr) << user;
  ASSERT_EQ(::lchown(path.c_str(), entry->pw_uid, entry->pw_gid), 0) << path;
}

constexpr const char* kPasteboards = "/tmp/.pasteboards-1001";

struct Row {
  const char* name;
  // Prepares the product (as root, as alice or bob would have it) and answers alice's loop.
  std::function<std::function<void()>(const Product&, const Canary&)> plant;
  int rounds = kRounds;  // installs and removals run against the loop; 0: check() runs its own
  bool race = true;      // the loop swaps names, and must have swapped some
  // What the row checks beyond the canaries, before they are looked at.
  std::function<void(const Product&, const Package&, const std::string& destination, const Canary&)>
      check = nullptr;
  // What root runs against her instead of the installs and removals: answers what it printed.
  std::function<std::string(const Product&, const Package&)> runs = nullptr;
  testing::EnvOverrides env = {{"USER", "alice"}};
  std::string canaryDirectory = "/root/hostile/data";
};

// alice's pane after the runs, as the package's Installer shows it to her.
std::string paneText() {
  return testing::runProgram({testing::binDir() + "/installer-pane-host", "--non-interactive",
                              testing::libDir() + "/outcomepane.bundle"},
                             {}, std::string("alice"))
      .out;
}

// The file made a sparse 1 TiB file with its content at the start: the tools treat it as
// unreadable, the launcher decides the outcome (its own manifest reader gives up on it too),
// and the pane tells the outcome the exit status gave.
Row hugeFile(const char* name, const char* file, int applied, int removed) {
  return {
      name,
      [file](const Product& p, const Canary&) {
        EXPECT_EQ(::truncate(p.rcp(file).c_str(), off_t{1} << 40), 0);
        return [] { ::pause(); };
      },
      0, false,
      [=](const Product& p, const Package& package, const std::string& destination, const Canary&) {
        const RunResult apply = apply_scenario::patchapply({package.path, destination});
        EXPECT_TRUE(apply.exited && apply.exitStatus == applied) << apply.exitStatus << apply.err;
        EXPECT_EQ(paneText().find("installed successfully") != std::string::npos, applied == 0);
        const RunResult remove =
            testing::runProgram({testing::binDir() + "/patchremove", "-rcphome", p.platformHome});
        EXPECT_TRUE(remove.exited && remove.exitStatus == removed)
            << remove.exitStatus << remove.err;
        EXPECT_EQ(::truncate(p.rcp(file).c_str(), 0), 0);  // nobody reads it whole here
      }};
}

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
           if (counted(::symlink(target.c_str(), manifest.c_str()) == 0)) ::usleep(2000);
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
      // Her own error channel directory: when root has looked at it (closed it after the
      // check), she exchanges it with a link to the canary's directory, and back.
      {"error channel directory swapped after its check",
       [](const Product&, const Canary& canary) {
         EXPECT_EQ(std::system(("mkdir -p " + std::string(kPasteboards)).c_str()), 0);
         give(kPasteboards, "alice");
         EXPECT_EQ(::symlink(canary.directory().c_str(), "/tmp/.pb-link"), 0);
         give("/tmp/.pb-link", "alice");
         return [] {
           static const int watch = ::inotify_init1(0);
           static const bool watched =
               ::inotify_add_watch(watch, kPasteboards, IN_CLOSE_NOWRITE) >= 0;
           char event[sizeof(inotify_event) + 256];
           if (!watched || ::read(watch, event, sizeof event) <= 0) ::pause();
           if (swapNames(kPasteboards, "/tmp/.pb-link")) {
             ::usleep(3000);
             swapNames(kPasteboards, "/tmp/.pb-link");
           }
         };
       },
       kRounds, true,
       [](const Product&, const Package&, const std::string&, const Canary& canary) {
         for (const auto& entry : std::filesystem::directory_iterator(canary.directory()))
           EXPECT_EQ(entry.path(), canary.path()) << "made in the canary's directory";
         testing::removeTree(kPasteboards);
         testing::removeTree("/tmp/.pb-link");
       }},
      // Before alice's refused install bob owns her error channel's directory and a hand-off
      // file that names his own platform with a successful result.
      {"hand-off and error channel directory of bob",
       [](const Product& p, const Canary&) {
         testing::removeTree(kPasteboards);
         EXPECT_EQ(std::system(("mkdir -p /tmp/bobfake/rcp " + std::string(kPasteboards) +
                                " && echo rc=0 > /tmp/bobfake/.provisioning_rc")
                                   .c_str()),
                   0);
         os::PlistValue handOff;
         handOff.set("pathToRcpHome", "/tmp/bobfake/rcp");
         EXPECT_TRUE(os::writePlistFile(apply_scenario::HAND_OFF, handOff));
         for (const char* path :
              {"/tmp/bobfake", "/tmp/bobfake/rcp", "/tmp/bobfake/.provisioning_rc", kPasteboards,
               apply_scenario::HAND_OFF}) {
           give(path, "bob");
         }
         os::PlistValue newer;
         newer.set("hotfixVersion", "9.9.9");
         EXPECT_TRUE(os::writePlistFile(p.rcp("installInfo.plist"), newer));
         return [] { ::pause(); };
       },
       1, false,
       [](const Product&, const Package&, const std::string&, const Canary&) {
         EXPECT_NE(paneText().find("could not be installed"), std::string::npos);
         testing::removeTree("/tmp/bobfake");
         testing::removeTree(kPasteboards);
       }},
      // bob's own file of the temporaries' pattern in /tmp stays through alice's installs.
      {"a file of bob named as a temporary in the shared tmp",
       [](const Product&, const Canary&) {
         EXPECT_TRUE(testing::writeFile("/tmp/.rcptmp.bob-notes", "bob's\n", 0600));
         give("/tmp/.rcptmp.bob-notes", "bob");
         return [] { ::pause(); };
       },
       1, false,
       [](const Product&, const Package&, const std::string&, const Canary&) {
         EXPECT_EQ(readFile("/tmp/.rcptmp.bob-notes"), "bob's\n");
         ::unlink("/tmp/.rcptmp.bob-notes");
       }},
      hugeFile("ignitor.properties made a sparse 1 TiB file", "ignitor.properties", 0, 0),
      hugeFile("install.xml made a sparse 1 TiB file", "deploy/install.xml", 1, 190),
      // sudo -i gives root's HOME and USER; her launcher properties name ${env.HOME}/.config.
      {.name = "HOME naming root",
       .plant =
           [](const Product& p, const Canary&) {
             setWorkspace(p, "${env.HOME}/.config");
             return [] { ::pause(); };
           },
       .rounds = 2,
       .race = false,
       .env = {{"USER", "root"}, {"HOME", "/root"}},
       .canaryDirectory = "/root/.config"},
      // Her link to a root-only file, which a rehearsal as root copies.
      {.name = "rehearsal copying a link out",
       .plant =
           [](const Product& p, const Canary& canary) {
             EXPECT_EQ(::symlink(canary.path().c_str(), p.deploy("notes").c_str()), 0);
             EXPECT_EQ(::lchown(p.deploy("notes").c_str(), alice().uid, alice().gid), 0);
             return [] { ::pause(); };
           },
       .race = false,
       .runs =
           [](const Product& p, const Package& package) {
             return hotfixcheck(
                 {"--keep", "rehearse", package.path, p.bundle.substr(0, p.bundle.rfind('/'))});
           }},
      // Her launcher, allowed to leave its result in the platform home, tries to take the
      // directory and root's executable there.
      {.name = "platform home taken during the run",
       .plant =
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
       .rounds = 2,
       .race = false},
      // Her provisioning log is a link to a root-only file; status runs as root.
      {.name = "status reading her log",
       .plant =
           [](const Product& p, const Canary& canary) {
             const std::string secret = canary.directory() + "/status.log";
             EXPECT_TRUE(testing::writeFile(secret, "1;2;3;4;5;6;root only: final status\n", 0600));
             asAlice("mkdir -p /home/alice/ws/logs && ln -s " + secret +
                     " /home/alice/ws/logs/provisioning.log");
             setWorkspace(p, "/home/alice/ws");
             return [] { ::pause(); };
           },
       .race = false,
       .runs =
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
    const RunResult first = apply_scenario::patchapply({package.path, dir + "/Applications"});
    ASSERT_EQ(first.exitStatus, 0) << first.out << first.err;
    const struct stat home = statOf(product.platformHome);
    *swaps = 0;
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
    std::printf("%s: %d installs and %d removals of %d succeeded, %d swaps\n", row.name, installed,
                removed, row.rounds, *swaps);
    if (row.race && !std::string(row.name).starts_with("launcher")) {
      EXPECT_GT(*swaps, 0);
    }
    if (row.check) row.check(product, package, dir + "/Applications", canary);
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
