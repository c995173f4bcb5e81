// patchapply killed with SIGKILL at random moments of an install with a slow launcher: every
// file the tools rewrite is its old or a complete new version, and a run afterwards installs
// the hotfix and leaves no temporary file.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <map>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "foundation/install_manifest.h"
#include "foundation/java_properties.h"
#include "os/plist_value.h"
#include "tests/faults/canary.h"
#include "tests/patchapply_scenario.h"

namespace rcpinstall::faults {
namespace {

using apply_scenario::Package;
using apply_scenario::PatchApplyScenario;
using apply_scenario::Product;
using testing::readFile;
using testing::RunResult;

constexpr int kRuns = 20;
constexpr const char* kPasteboards = "/tmp/.pasteboards-1001";

// Starts patchapply as root for alice, its output to the null device.
pid_t startPatchApply(const std::vector<std::string>& arguments) {
  std::vector<std::string> strings = {testing::binDir() + "/patchapply"};
  strings.insert(strings.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (std::string& s : strings) argv.push_back(s.data());
  argv.push_back(nullptr);
  std::vector<std::string> environment = {"USER=alice"};
  for (char** e = environ; *e != nullptr; ++e) {
    if (std::strncmp(*e, "USER=", 5) != 0) environment.emplace_back(*e);
  }
  std::vector<char*> envp;
  for (std::string& s : environment) envp.push_back(s.data());
  envp.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  for (int fd : {0, 1, 2}) {
    posix_spawn_file_actions_addopen(&actions, fd, "/dev/null", fd == 0 ? O_RDONLY : O_WRONLY, 0);
  }
  // A process group of its own, so that what it started is found after the kill, also a
  // child that has not yet become the launcher.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
  posix_spawnattr_setpgroup(&attributes, 0);
  pid_t pid = -1;
  const int started = ::posix_spawn(&pid, argv[0], &actions, &attributes, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  return started == 0 ? pid : -1;
}

// Waits until no process of the killed run's group is left (reaping what comes back here);
// after 20 s ends them. False when they had to be ended.
bool waitForGroup(pid_t group) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (::kill(-group, 0) == 0) {
    while (::waitpid(-1, nullptr, WNOHANG) > 0) {
    }
    if (std::chrono::steady_clock::now() > deadline) {
      ::kill(-group, SIGKILL);
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

// Processes whose executable is the given program.
std::vector<pid_t> processesOf(const std::string& executable) {
  std::vector<pid_t> found;
  DIR* proc = ::opendir("/proc");
  if (proc == nullptr) return found;
  while (const dirent* entry = ::readdir(proc)) {
    const pid_t pid = static_cast<pid_t>(std::atoi(entry->d_name));
    if (pid <= 0) continue;
    char target[4096];
    const std::string exe = "/proc/" + std::string(entry->d_name) + "/exe";
    const ssize_t length = ::readlink(exe.c_str(), target, sizeof target);
    if (length > 0 && std::string(target, static_cast<size_t>(length)) == executable) {
      found.push_back(pid);
    }
  }
  ::closedir(proc);
  return found;
}

// The launcher outlives the killed patchapply (it is not killed with it). It is left to finish
// its provisioning run, as it would on the machine; only one that does not end in time is
// killed.
bool waitForLauncher(const std::string& launcher) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!processesOf(launcher).empty()) {
    if (std::chrono::steady_clock::now() > deadline) {
      for (pid_t pid : processesOf(launcher)) ::kill(pid, SIGKILL);
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

enum class Kind { kProperties, kPlist, kManifest };

// Whether a rewritten file is its old version or a complete new one: the same bytes, or a
// text that parses and (for properties) keeps every key it had.
::testing::AssertionResult oldOrComplete(const std::string& path, Kind kind,
                                         const std::optional<std::string>& old) {
  const std::optional<std::string> now = readFile(path);
  if (!now) {
    if (!old) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << path << " is gone";
  }
  if (now == old) return ::testing::AssertionSuccess();
  switch (kind) {
    case Kind::kProperties: {
      const JavaProperties::Table table = JavaProperties::parse(*now);
      for (const auto& [key, value] : JavaProperties::parse(old.value_or(""))) {
        bool kept = false;
        for (const auto& entry : table) kept = kept || entry.first == key;
        if (!kept) return ::testing::AssertionFailure() << path << " lost the key " << key;
      }
      if (table.empty()) return ::testing::AssertionFailure() << path << " is empty";
      return ::testing::AssertionSuccess();
    }
    case Kind::kPlist: {
      const std::optional<os::PlistValue> value = os::parsePlist(*now);
      if (value && value->asDictionary() != nullptr) return ::testing::AssertionSuccess();
      return ::testing::AssertionFailure() << path << " is no property list";
    }
    case Kind::kManifest:
      if (InstallManifest(path).hasDocument()) return ::testing::AssertionSuccess();
      return ::testing::AssertionFailure() << path << " is no manifest";
  }
  return ::testing::AssertionFailure();
}

// Temporary files that os/ names (".rcptmp.<name>.XXXXXX") below a directory.
std::vector<std::string> temporaryFilesBelow(const std::string& directory, bool recursive = true) {
  std::vector<std::string> found;
  std::error_code ec;
  const auto check = [&](const std::filesystem::path& path) {
    if (path.filename().string().starts_with(".rcptmp.")) found.push_back(path.string());
  };
  if (!recursive) {
    for (const auto& entry : std::filesystem::directory_iterator(directory, ec))
      check(entry.path());
    return found;
  }
  for (auto it = std::filesystem::recursive_directory_iterator(directory, ec);
       !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    check(it->path());
  }
  return found;
}

// The product tree as a rerun must leave it: every entry's owner, mode and content, less what
// differs between any two installs (the manifest version of the minute, the backups named for
// it, what each install kept, the simulator's record of its runs and the provisioning log it
// appends to).
std::map<std::string, std::string> installedTree(const std::string& dir) {
  std::map<std::string, std::string> tree = apply_scenario::snapshot(dir);
  std::erase_if(tree, [](const auto& entry) {
    const std::string name = std::filesystem::path(entry.first).filename().string();
    return name == "ignitor.calls" || name == "provisioning.log" ||
           entry.first.find("/hotfix-backups") != std::string::npos ||
           (name.starts_with("install.") && name != "install.xml" && name != "install.update.xml");
  });
  for (auto& [path, description] : tree) {
    // Who ran the launcher (root on a tree only root could change, else its owner) owns the
    // result it left; the binary is told by its size.
    if (path.ends_with("/.provisioning_rc"))
      description = description.substr(description.find(' ', 4));
    if (path.ends_with("/rcp/ignitor")) description = std::to_string(description.size());
    if (!path.ends_with("/ignitor.properties")) continue;
    std::string kept;
    std::istringstream lines(description);
    for (std::string line; std::getline(lines, line);) {
      if (!line.starts_with("provisioning.manifest.version=") &&
          !line.starts_with("rcp.install.id="))
        kept += line + "\n";
    }
    description = kept;
  }
  return tree;
}

// The entries in which two trees differ.
std::vector<std::string> differences(const std::map<std::string, std::string>& a,
                                     const std::map<std::string, std::string>& b) {
  std::vector<std::string> found;
  for (const auto& [path, description] : a) {
    const auto other = b.find(path);
    if (other == b.end())
      found.push_back("only after the rerun: " + path);
    else if (other->second != description)
      found.push_back(path + ": " + description + " / " + other->second);
  }
  for (const auto& [path, description] : b) {
    if (!a.contains(path)) found.push_back("missing after the rerun: " + path);
  }
  return found;
}

// How often the traced program makes each call, from a run under strace; with `until`, up to
// and including the first call whose line holds that text.
std::map<std::string, int> callCounts(const std::string& trace, const std::string& until = {}) {
  std::map<std::string, int> counts;
  std::istringstream lines(readFile(trace).value_or(""));
  for (std::string line; std::getline(lines, line);) {
    const size_t paren = line.find('(');
    // A call this strace has no name for (fchmodat2 before strace 6.5) cannot be injected;
    // the walk's change of owner comes just before each one.
    if (paren != std::string::npos && !line.starts_with("+++") && !line.starts_with("---") &&
        !line.starts_with("syscall_")) {
      ++counts[line.substr(0, paren)];
      if (!until.empty() && line.find(until) != std::string::npos) break;
    }
  }
  return counts;
}

class KilledRun : public PatchApplyScenario {};

TEST_F(KilledRun, EveryRewrittenFileIsOldOrNewAndARerunInstalls) {
  const Canary canary;
  const Package package(scratch_ / "package");
  const char* seedText = std::getenv("RCP_FAULT_SEED");
  const unsigned seed = seedText != nullptr
                            ? static_cast<unsigned>(std::strtoul(seedText, nullptr, 10))
                            : std::random_device{}();
  std::cout << "kill moments seeded with " << seed << " (RCP_FAULT_SEED to repeat)\n";
  RecordProperty("seed", std::to_string(seed));
  std::mt19937 random(seed);
  // Half the kills fall in the short stretch before the launcher starts, half anywhere from
  // the start to after the launcher's end (one launcher run takes a second).
  std::uniform_int_distribution<int> early(0, 12);
  std::uniform_int_distribution<int> anywhere(0, 1400);

  const std::vector<std::pair<const char*, Kind>> files = {
      {"rcp/ignitor.properties", Kind::kProperties},
      {"rcp/installInfo.plist", Kind::kPlist},
      {"rcp/plugin_customization.ini", Kind::kProperties},
      {"rcp/deploy/install.xml", Kind::kManifest},
      {"rcp/deploy/install.update.xml", Kind::kManifest},
      {"rcp/deploy/uninstall.hotfix.xml", Kind::kManifest},
      {"rcp/deploy/install.0101260000.xml", Kind::kManifest},
      {"rcp/eclipse/links/rcp.link", Kind::kProperties},
  };
  int launchersKilled = 0;
  int moments[3] = {0, 0, 0};  // killed before the launcher began, after, run ended first
  for (int i = 0; i < kRuns; ++i) {
    clearMachine();
    // Every fifth product has a hotfix installed, so the removal of it comes first.
    const bool installed = i % 5 == 4;
    const int delay = i % 2 == 0 ? early(random) : anywhere(random);
    SCOPED_TRACE("run " + std::to_string(i) + ", killed after " + std::to_string(delay) + " ms" +
                 (installed ? ", with a hotfix installed" : ""));
    const std::string dir = scratch_ / ("run-" + std::to_string(i));
    const Product product(dir + "/Applications",
                          installed ? std::vector<std::string>{"--hotfix-version", "1.0.1"}
                                    : std::vector<std::string>{});
    product.setFault("sleep=1\n");
    std::map<std::string, std::optional<std::string>> old;
    for (const auto& [file, kind] : files) old[file] = readFile(product.platformHome + "/" + file);

    const pid_t pid = startPatchApply({package.path, dir + "/Applications"});
    ASSERT_GT(pid, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(delay));
    ::kill(pid, SIGKILL);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    const bool launcherBegan = readFile(product.rcp("ignitor.calls")).has_value();
    ++moments[WIFEXITED(status) ? 2 : launcherBegan ? 1 : 0];
    if (!waitForLauncher(product.rcp("ignitor")) || !waitForGroup(pid)) ++launchersKilled;

    for (const auto& [file, kind] : files) {
      EXPECT_TRUE(oldOrComplete(product.platformHome + "/" + file, kind, old[file]));
    }
    EXPECT_TRUE(oldOrComplete(apply_scenario::HAND_OFF, Kind::kPlist, std::nullopt));
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(kPasteboards, ec)) {
      if (entry.path().filename().string()[0] == '.') continue;
      EXPECT_TRUE(oldOrComplete(entry.path().string(), Kind::kPlist, std::nullopt));
    }

    // Run again, with a launcher that no longer dawdles.
    ::unlink(product.rcp("ignitor.fault").c_str());
    const RunResult rerun = testing::runProgram(
        {testing::binDir() + "/patchapply", package.path, dir + "/Applications"},
        {{"USER", "alice"}}, std::nullopt, std::nullopt, 60);
    EXPECT_EQ(rerun.exitStatus, 0) << rerun.out << rerun.err;
    EXPECT_EQ(product.record("hotfixVersion"), "1.0.2");
    EXPECT_TRUE(InstallManifest(product.deploy("install.xml")).hasDocument());
    EXPECT_EQ(InstallManifest(product.deploy("install.xml"))
                  .checkInstalledFeature(std::string("com.zantec.orrery.hotfix"), std::nullopt),
              "1.0.2");
    EXPECT_FALSE(apply_scenario::stateOf(apply_scenario::ERROR_MARKER).exists);
    // A kill between naming a temporary and the rename leaves it; the rerun removes it.
    EXPECT_EQ(temporaryFilesBelow(product.bundle), std::vector<std::string>{});
    EXPECT_EQ(temporaryFilesBelow("/tmp", false), std::vector<std::string>{});
    EXPECT_EQ(temporaryFilesBelow(kPasteboards), std::vector<std::string>{});
    testing::removeTree(dir);
  }
  std::cout << "killed before the launcher began: " << moments[0] << ", after: " << moments[1]
            << ", ended before the kill: " << moments[2] << "\n";
  EXPECT_EQ(launchersKilled, 0) << "every launcher ended by itself";
  canary.expectUnchanged();
}

}  // namespace
}  // namespace rcpinstall::faults

namespace rcpinstall::faults {
namespace {

// strace kills patchapply at the Nth occurrence of each call that changes the file system
// (every occurrence, or 30 spread over the run where there are more): a rerun then leaves the
// tree an uninterrupted install leaves, and no temporary anywhere.
TEST_F(KilledRun, KilledAtEachChangingCallARerunEndsAsAnUninterruptedInstall) {
  if (std::system("command -v strace >/dev/null 2>&1") != 0) {
    GTEST_SKIP() << "strace is not installed (Debian package strace)";
  }
  // Tracing may be forbidden (a seccomp filter, kernel.yama.ptrace_scope 3, no CAP_SYS_PTRACE).
  const RunResult probe = testing::runProgram({"strace", "-qq", "-o", "/dev/null", "/bin/true"});
  if (probe.exitStatus != 0) GTEST_SKIP() << "strace cannot trace here: " << probe.err;
  const Package package(scratch_ / "package");
  const std::string original = scratch_ / "original", work = scratch_ / "work";
  const Product product(work);
  ASSERT_EQ(std::system(("cp -a '" + work + "' '" + original + "'").c_str()), 0);
  const std::string launcher = work + "/Orrery.app/Contents/MacOS/rcp/ignitor";
  const std::vector<std::string> patchapply = {testing::binDir() + "/patchapply", package.path,
                                               work};
  const auto fresh = [&] {
    clearMachine();
    testing::removeTree(work);
    ASSERT_EQ(std::system(("cp -a '" + original + "' '" + work + "'").c_str()), 0);
  };
  const auto traced = [&](const std::vector<std::string>& strace) {
    std::vector<std::string> argv = {"strace", "-qq"};
    argv.insert(argv.end(), strace.begin(), strace.end());
    argv.insert(argv.end(), patchapply.begin(), patchapply.end());
    // The leak checker of a sanitized build cannot run under a tracer.
    return testing::runProgram(argv, {{"USER", "alice"}, {"ASAN_OPTIONS", "detect_leaks=0"}},
                               std::nullopt, std::nullopt, 60);
  };

  fresh();
  const std::string trace = scratch_ / "trace";
  const std::string calls =
      "rename,renameat,renameat2,link,linkat,unlink,unlinkat,open,openat,write,fchown,fchownat,"
      "fchmod,fchmodat,?fchmodat2,mkdir,mkdirat";
  ASSERT_EQ(traced({"-o", trace, "-e", "trace=" + calls}).exitStatus, 0);
  const std::map<std::string, std::string> reference = installedTree(work);
  const std::map<std::string, int> counts = callCounts(trace);

  int points = 0;
  int killed = 0;  // runs that the injection ended (not every call is made again when killed)
  for (const auto& [call, count] : counts) std::cout << call << " " << count << "  ";
  for (const auto& [call, count] : counts) {
    const int kills = std::min(count, 30);
    for (int k = 0; k < kills; ++k) {
      const int when = kills == count ? k + 1 : 1 + k * (count - 1) / (kills - 1);
      SCOPED_TRACE(call + " #" + std::to_string(when) + " of " + std::to_string(count));
      fresh();
      killed += traced({"-o", "/dev/null", "-e",
                        "inject=" + call + ":signal=KILL:when=" + std::to_string(when)})
                    .termSignal == SIGKILL;
      waitForLauncher(launcher);
      const RunResult rerun =
          testing::runProgram(patchapply, {{"USER", "alice"}}, std::nullopt, std::nullopt, 60);
      EXPECT_EQ(rerun.exitStatus, 0) << rerun.out << rerun.err;
      EXPECT_EQ(differences(installedTree(work), reference), std::vector<std::string>{});
      EXPECT_EQ(temporaryFilesBelow(work), std::vector<std::string>{});
      EXPECT_EQ(temporaryFilesBelow("/tmp", false), std::vector<std::string>{});
      ++points;
      if (HasFailure()) return;
    }
  }
  std::cout << "\n"
            << points << " kill points over " << counts.size() << " calls, " << killed
            << " runs killed\n";
  EXPECT_GT(points, 100);
  EXPECT_EQ(killed, points);
}

}  // namespace
}  // namespace rcpinstall::faults

namespace rcpinstall::faults {
namespace {

// strace cuts patchremove off at each changing call, and patchapply the same way inside the
// removal of the installed hotfix it makes first: a rerun of patchremove then ends with exit
// status 0 (190 when the removal had made its last change: no hotfix is left) and the tree an
// uninterrupted removal leaves, with no temporary and no mark of a change in progress.
TEST_F(KilledRun, KilledAtEachChangingCallARerunOfPatchRemoveEndsAsAnUninterruptedRemoval) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "a long table: it runs in the normal build only";
#endif
  if (std::system("command -v strace >/dev/null 2>&1") != 0) {
    GTEST_SKIP() << "strace is not installed (Debian package strace)";
  }
  if (std::system("strace -qq -o /dev/null true >/dev/null 2>&1") != 0) {
    GTEST_SKIP() << "strace cannot trace here (ptrace is not allowed in this sandbox)";
  }
  const Package package(scratch_ / "package");
  const std::string original = scratch_ / "original", work = scratch_ / "work";
  const Product product(work, {"--hotfix-version", "1.0.1"});
  ASSERT_EQ(std::system(("cp -a '" + work + "' '" + original + "'").c_str()), 0);
  const std::string launcher = product.rcp("ignitor");
  const std::vector<std::string> patchremove = {testing::binDir() + "/patchremove", "-rcphome",
                                                product.platformHome};
  const auto fresh = [&] {
    clearMachine();
    testing::removeTree(work);
    ASSERT_EQ(std::system(("cp -a '" + original + "' '" + work + "'").c_str()), 0);
  };
  const auto run = [](const std::vector<std::string>& program,
                      const std::vector<std::string>& strace = {}) {
    std::vector<std::string> argv;
    if (!strace.empty()) argv = {"strace", "-qq"};
    argv.insert(argv.end(), strace.begin(), strace.end());
    argv.insert(argv.end(), program.begin(), program.end());
    return testing::runProgram(argv, {{"USER", "alice"}}, std::nullopt, std::nullopt, 60);
  };

  fresh();
  const RunResult uninterrupted = run(patchremove);
  ASSERT_EQ(uninterrupted.exitStatus, 0) << uninterrupted.out << uninterrupted.err;
  const std::map<std::string, std::string> reference = installedTree(work);
  ASSERT_FALSE(product.record("hotfixVersion"));

  struct Row {
    const char* name;
    std::vector<std::string> program;
    // The line of the last call of the removal in the program's trace; empty: its whole run.
    std::string removalEndsAt;
  };
  const std::vector<Row> rows = {
      {"patchremove", patchremove, ""},
      {"patchapply over the installed hotfix, within its removal",
       {testing::binDir() + "/patchapply", package.path, work},
       "\"uninstall.hotfix.xml\""},
  };
  const std::string calls =
      "rename,renameat,renameat2,link,linkat,unlink,unlinkat,open,openat,write,fchown,fchownat,"
      "fchmod,fchmodat,?fchmodat2,mkdir,mkdirat";
  int points = 0;
  int killed = 0;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    fresh();
    const std::string trace = scratch_ / "trace";
    ASSERT_EQ(run(row.program, {"-o", trace, "-e", "trace=" + calls}).exitStatus, 0);
    const std::map<std::string, int> counts = callCounts(trace, row.removalEndsAt);
    for (const auto& [call, count] : counts) std::cout << call << " " << count << "  ";
    std::cout << "(" << row.name << ")\n";
    for (const auto& [call, count] : counts) {
      const int kills = std::min(count, 30);
      for (int k = 0; k < kills; ++k) {
        const int when = kills == count ? k + 1 : 1 + k * (count - 1) / (kills - 1);
        SCOPED_TRACE(call + " #" + std::to_string(when) + " of " + std::to_string(count));
        fresh();
        killed += run(row.program, {"-o", "/dev/null", "-e",
                                    "inject=" + call + ":signal=KILL:when=" + std::to_string(when)})
                      .termSignal == SIGKILL;
        waitForLauncher(launcher);
        // Killed after its last change, the removal was complete: the rerun finds no hotfix
        // (190) and changes nothing.
        const bool complete = differences(installedTree(work), reference).empty();
        const RunResult rerun = run(patchremove);
        EXPECT_EQ(rerun.exitStatus, complete ? 190 : 0) << rerun.out << rerun.err;
        EXPECT_EQ(differences(installedTree(work), reference), std::vector<std::string>{});
        EXPECT_EQ(temporaryFilesBelow(work), std::vector<std::string>{});
        ++points;
        if (HasFailure()) return;
      }
    }
  }
  std::cout << points << " kill points, " << killed << " runs killed\n";
  EXPECT_GT(points, 50);
  EXPECT_EQ(killed, points);
}

}  // namespace
}  // namespace rcpinstall::faults
