// Helpers of the install program's end-to-end scenarios: sample products and packages made
// with rcpsim, runs of the built patchapply, and what a run leaves behind.
#pragma once

#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "foundation/install_util.h"
#include "os/plist_value.h"
#include "tests/support/testing.h"

namespace rcpinstall::apply_scenario {

using testing::readFile;
using testing::RunResult;
using testing::ScratchDirectory;
using testing::writeFile;
using Runs = std::vector<std::vector<std::string>>;

inline constexpr const char* ERROR_MARKER = "/tmp/Orrery.hotfix.error";
inline constexpr const char* HAND_OFF = "/tmp/com.zantec.rcp.platform.internal.configuration";
inline constexpr const char* TRACE_LOG = "/tmp/install_trace.log";
inline constexpr const char* QEL_CONFIG = "/tmp/qel.config";
inline constexpr const char* REGISTRY_DIR = "/Library/Application Support/Fernhollow";

// A sample product laid out by rcpsim: <dir>/<name>.app with its platform in Contents/MacOS.
class Product {
 public:
  Product(const std::string& dir, const std::vector<std::string>& options = {},
          const std::string& name = "Orrery") {
    std::vector<std::string> argv = {
        testing::binDir() + "/rcpsim", "product", dir, "--name", name, "--ignitor",
        testing::binDir() + "/ignitor"};
    argv.insert(argv.end(), options.begin(), options.end());
    const RunResult made = testing::runProgram(argv);
    EXPECT_EQ(made.exitStatus, 0) << made.out << made.err;
    bundle = dir + "/" + name + ".app";
    platformHome = bundle + "/Contents/MacOS";
    rcpHome = platformHome + "/rcp";
  }

  std::string deploy(const std::string& name) const { return rcpHome + "/deploy/" + name; }
  std::string rcp(const std::string& name) const { return rcpHome + "/" + name; }

  // The launcher runs recorded in ignitor.calls, each without its program path.
  Runs launcherRuns() const {
    Runs runs;
    std::istringstream lines(readFile(rcp("ignitor.calls")).value_or(""));
    std::vector<std::string> run;
    for (std::string line; std::getline(lines, line);) {
      if (line.empty()) {
        if (!run.empty()) run.erase(run.begin());
        runs.push_back(run);
        run.clear();
      } else {
        run.push_back(line);
      }
    }
    return runs;
  }

  std::optional<std::string> record(const char* key) const {
    const std::optional<os::PlistValue> info = os::readPlistFile(rcp("installInfo.plist"));
    const os::PlistValue* value = info ? info->find(key) : nullptr;
    if (value == nullptr || value->asString() == nullptr) return std::nullopt;
    return *value->asString();
  }

  void setFault(const std::string& fault) const { writeFile(rcp("ignitor.fault"), fault); }

  std::string bundle;
  std::string platformHome;
  std::string rcpHome;
};

// A sample hotfix package laid out by rcpsim: <dir>/Hotfix.mpkg.
class Package {
 public:
  Package(const std::string& dir, const std::vector<std::string>& options = {}) {
    std::vector<std::string> argv = {testing::binDir() + "/rcpsim", "hotfix", dir};
    argv.insert(argv.end(), options.begin(), options.end());
    const RunResult made = testing::runProgram(argv);
    EXPECT_EQ(made.exitStatus, 0) << made.out << made.err;
    mpkg = dir + "/Hotfix.mpkg";
    path = mpkg + "/Contents/Packages/hotfix.pkg";
    deployDir = mpkg + "/Contents/Packages/deploy";
  }
  std::string deploy(const std::string& name) const { return deployDir + "/" + name; }
  std::string settings() const { return path + "/Contents/Resources/hotfix.plist"; }

  std::string mpkg;
  std::string path;  // handed to patchapply
  std::string deployDir;
};

// Runs the built patchapply as root for the person named by USER (alice unless told).
inline RunResult patchapply(const std::vector<std::string>& arguments,
                            const testing::EnvOverrides& env = {{"USER", "alice"}}) {
  std::vector<std::string> argv = {testing::binDir() + "/patchapply"};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  return testing::runProgram(argv, env);
}

// The record on the error channel of a user, read through the store as the result pane, a
// process of that user, would read it.
inline std::optional<os::PlistValue> errorRecordOf(const std::string& user) {
  const char* previous = std::getenv("USER");
  const std::string saved = previous != nullptr ? previous : "";
  ::setenv("USER", user.c_str(), 1);
  std::optional<os::PlistValue> record = InstallUtil::getErrorMessage();
  if (previous != nullptr) {
    ::setenv("USER", saved.c_str(), 1);
  } else {
    ::unsetenv("USER");
  }
  return record;
}

// Puts a preference file of a user in place: <home>/Library/Preferences/<file>.
inline void setPreferences(const std::string& user, const std::string& file,
                           const os::PlistValue& values) {
  const std::string home = "/home/" + user;
  const std::string prefs = home + "/Library/Preferences";
  ASSERT_EQ(
      std::system(
          ("install -d -o " + user + " -g " + user + " " + home + "/Library " + prefs).c_str()),
      0);
  ASSERT_TRUE(os::writePlistFile(prefs + "/" + file, values));
  ASSERT_EQ(std::system(("chown -R " + user + ":" + user + " " + prefs).c_str()), 0);
}

struct EntryState {
  bool exists = false;
  bool regular = false;
  mode_t mode = 0;
  std::string owner;
  std::string group;
  off_t size = 0;
};

inline EntryState stateOf(const std::string& path) {
  EntryState state;
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return state;
  state.exists = true;
  state.regular = S_ISREG(st.st_mode);
  state.mode = st.st_mode & 07777;
  const passwd* pw = ::getpwuid(st.st_uid);
  state.owner = pw != nullptr ? pw->pw_name : std::to_string(st.st_uid);
  const group* gr = ::getgrgid(st.st_gid);
  state.group = gr != nullptr ? gr->gr_name : std::to_string(st.st_gid);
  state.size = st.st_size;
  return state;
}

// Every entry below a directory with its mode, owner and content, to show that a run left a
// tree as it was.
inline std::map<std::string, std::string> snapshot(const std::string& dir) {
  std::map<std::string, std::string> entries;
  std::error_code ec;
  for (auto it = std::filesystem::recursive_directory_iterator(dir, ec);
       !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    const std::string path = it->path().string();
    const EntryState state = stateOf(path);
    std::string description = std::to_string(state.mode) + " " + state.owner + ":" + state.group;
    if (state.regular) description += " " + readFile(path).value_or("<unreadable>");
    entries[path] = description;
  }
  return entries;
}

// The launcher command lines the workflows give.
inline std::vector<std::string> installRun(const std::string& locale,
                                           const std::string& updateSite) {
  return {"-ignitorWait",
          "-provManifest",
          "-noSplash",
          "-provisioningOperation",
          "update",
          "-nl",
          locale,
          "-vmargs",
          "-Dfile.encoding=UTF-8",
          "-DprovisioningOperation=update",
          "-DprovUpdateSiteListOverride=file:" + updateSite,
          "-Xms32m",
          "-Xmx256m"};
}

inline std::vector<std::string> removalRun() {
  return {"-ignitorWait", "-provManifest", "-noSplash", "-provisioningOperation", "update",
          "-nl",          "en_US",         "-vmargs",   "-Dfile.encoding=UTF-8",  "-Xms32m",
          "-Xmx256m"};
}

inline std::vector<std::string> cleanupRun() {
  return {"-provManifest", "-ignitorWait",           "-noSplash", "-product",
          "NULL",          "-provisioningOperation", "cleanup"};
}

// The machine-wide state of a scenario starts empty and is removed after it.
class PatchApplyScenario : public ::testing::Test {
 protected:
  void SetUp() override {
    RCP_REQUIRE_SANDBOX();
    RCP_REQUIRE_ROOT();
    // Everyone may pass through the scratch folder; what lies inside keeps its own modes.
    ASSERT_EQ(::chmod(scratch_.path().c_str(), 0755), 0);
    clearMachine();
  }
  void TearDown() override { clearMachine(); }

  static void clearMachine() {
    for (const char* path : {"/Library/Application Support", ERROR_MARKER, HAND_OFF, TRACE_LOG,
                             QEL_CONFIG, "/tmp/.pasteboards-0", "/tmp/.pasteboards-1001",
                             "/home/alice/Library", "/Applications/Orrery.app"}) {
      testing::removeTree(path);
    }
  }

  static void writeRegistry(const std::string& product, const std::string& pathToProduct) {
    const std::string dir = std::string(REGISTRY_DIR) + "/" + product;
    ASSERT_EQ(std::system(("mkdir -p '" + dir + "'").c_str()), 0);
    os::PlistValue registry;
    registry.set("pathToProduct", pathToProduct);
    ASSERT_TRUE(os::writePlistFile(dir + "/framework.plist", registry));
  }

  ScratchDirectory scratch_{"patchapply"};
};

}  // namespace rcpinstall::apply_scenario
