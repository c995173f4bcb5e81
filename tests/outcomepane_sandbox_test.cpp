// End-to-end scenarios of the result pane in the sandbox: after runs of patchapply,
// installer-pane-host shows the built outcomepane.bundle as alice; leaving the pane removes
// the outcome files and resets the error channel.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "foundation/install_util.h"
#include "foundation/string_util.h"
#include "os/bundle.h"
#include "os/user_identity.h"
#include "tests/patchapply_scenario.h"

namespace rcpinstall::apply_scenario {
namespace {

using os::PlistValue;

const std::string kBundle = testing::libDir() + "/outcomepane.bundle";

// A message of the bundle's table in a localization, its "%@" bound to the details.
std::string text(const std::string& language, const std::string& key,
                 const std::vector<std::string>& details = {}) {
  const std::optional<os::StringsTable> table = os::parseStringsTable(
      readFile(kBundle + "/Contents/Resources/" + language + ".lproj/Provision.strings")
          .value_or(""));
  if (!table || !table->contains(key)) return "<" + language + " " + key + " missing>";
  return StringUtil::bindString(table->at(key), details).value_or("");
}

struct PaneRun {
  RunResult run;
  std::string title;
  std::string text;
};

// Runs the host on the built bundle, as alice unless told; with input it runs interactively.
PaneRun showPane(const std::vector<std::string>& options,
                 const std::optional<std::string>& input = std::nullopt,
                 const std::optional<std::string>& user = std::string("alice"),
                 const testing::EnvOverrides& env = {}) {
  std::vector<std::string> argv = {testing::binDir() + "/installer-pane-host"};
  if (!input) argv.push_back("--non-interactive");
  argv.insert(argv.end(), options.begin(), options.end());
  argv.push_back(kBundle);
  PaneRun pane{testing::runProgram(argv, env, user, input), "", ""};
  const std::string& out = pane.run.out;
  const size_t gap = out.find("\n\n");
  if (gap == std::string::npos) return pane;
  size_t end = out.find("\n[Enter] Continue", gap);
  if (end == std::string::npos) end = out.size() - 1;
  pane.title = out.substr(0, gap);
  pane.text = out.substr(gap + 2, end - gap - 2);
  return pane;
}

void sendAsAlice(const PlistValue& record) {
  ::setenv("USER", "alice", 1);
  InstallUtil::initInternalPasteboard(true);
  InstallUtil::sendErrorMessage(record);
  ::setenv("USER", "root", 1);
}

// The leftover configuration, as an earlier program of alice's could have left it.
void leaveQelConfig() {
  ASSERT_TRUE(writeFile(QEL_CONFIG, "left over\n"));
  ASSERT_EQ(::chown(QEL_CONFIG, os::lookupUserId("alice").value_or(0), -1), 0);
}

// The platform home belongs to the group admin, as a product in /Applications does, so that
// the pane, running as alice, can delete the result file in it.
void shareWithAdmin(const std::string& dir) {
  ASSERT_EQ(::chown(dir.c_str(), -1, os::lookupGroupId("admin").value_or(0)), 0);
  ASSERT_EQ(::chmod(dir.c_str(), 0775), 0);
}

// Starts the executable (a copy of sleep) and waits until the process list shows it.
pid_t startRunning(const std::string& executable) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::execl(executable.c_str(), executable.c_str(), "120", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  std::error_code error;
  for (int i = 0; i < 200 && std::filesystem::read_symlink("/proc/" + std::to_string(pid) + "/exe",
                                                           error) != executable;
       ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return pid;
}

class OutcomePaneScenario : public PatchApplyScenario {};

// Each run is shown first interactively in German (quitting there leaves everything in
// place), then as scripts show it, in English, which leaves the pane.
TEST_F(OutcomePaneScenario, AfterEachKindOfInstallRun) {
  struct Case {
    const char* name;
    std::optional<std::vector<std::string>> product;  // options; none: no product at all
    std::string destination;
    std::vector<std::string> package;
    std::string key;
    std::vector<std::string> details;  // "@" stands for the case's directory
    int status;
    bool provisioned;  // the run reached the launcher, which left a result file
  };
  const std::string partialStatus =
      "\n\nProvisioning completed with partial results\n\n2 features installed\n\n"
      "Not fetched: com.zantec.orrery.fix.ui 1.0.2\n\nRestart the product";
  const std::string characters = "\n!\"';\\#%|=?/";
  const std::vector<Case> cases = {
      {"success", {{}}, "Applications", {}, "provisioning_request_success", {}, 0, true},
      {"partial results",
       {{}},
       "Applications",
       {"--unfetchable", "com.zantec.orrery.fix.ui"},
       "provisioning_request_partial_results",
       {},
       0,
       true},
      {"provisioning fails",
       {{}},
       "Applications",
       {},
       "provisioning_request_unexpected_failure",
       {},
       1,
       true},
      {"code 3",
       {{}},
       "Apps;old",
       {},
       "install_location_invalid_allow_nonascii_error",
       {},
       1,
       false},
      {"code 4",
       {{}},
       "Applications",
       {"--without", "install-manifest"},
       "install_file_not_found_error",
       {"@/package/Hotfix.mpkg/Contents/Packages/hotfix.pkg/../deploy/install.hotfix.xml"},
       1,
       false},
      {"code 6", {{}}, "Applications", {}, "install_instance_is_running", {"Orrery"}, 1, false},
      {"code 7",
       {{"--hotfix-version", "2.0"}},
       "Applications",
       {"--version", "1.0"},
       "hotfix_found_higher_version",
       {"@/Applications/Orrery.app"},
       1,
       false},
      // 9: the install could not be completed or recorded (here the version record, which
      // is a directory); the pane shows that path, never the provisioning result.
      {"code 9",
       {{}},
       "Applications",
       {},
       "install_not_completed_error",
       {"@/Applications/Orrery.app/Contents/MacOS/rcp/installInfo.plist"},
       1,
       true},
      {"code 8",
       std::nullopt,
       "Applications",
       {},
       "hotfix_not_found_installed_platform_error",
       {"@/Applications"},
       1,
       false},
  };
  int index = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    clearMachine();
    const std::string dir = scratch_ / ("run-" + std::to_string(index++));
    const std::string destination = dir + "/" + c.destination;
    const std::string platformHome = destination + "/Orrery.app/Contents/MacOS";
    const std::string result = platformHome + "/.provisioning_rc";
    if (c.product) {
      const Product product(destination, *c.product);
      if (std::string_view(c.name) == "provisioning fails") product.setFault("rc=1\n");
      if (std::string_view(c.name) == "code 9") {
        const std::string record = platformHome + "/rcp/installInfo.plist";
        ASSERT_EQ(::unlink(record.c_str()), 0);
        ASSERT_EQ(::mkdir(record.c_str(), 0755), 0);
      }
      shareWithAdmin(platformHome);
    }
    const Package package(dir + "/package", c.package);
    std::vector<std::string> details;
    for (const std::string& detail : c.details) {
      details.push_back(detail[0] == '@' ? dir + detail.substr(1) : detail);
    }
    auto expected = [&](const std::string& language) {
      std::string message = text(language, c.key, details);
      if (c.key == "install_location_invalid_allow_nonascii_error") message += characters;
      if (c.key == "provisioning_request_partial_results") message += partialStatus;
      return message;
    };

    pid_t running = -1;
    if (std::string_view(c.name) == "code 6") {
      ASSERT_TRUE(writeFile(platformHome + "/Orrery", readFile("/bin/sleep").value_or(""), 0755));
      running = startRunning(platformHome + "/Orrery");
    }
    const RunResult install = patchapply({package.path, destination});
    if (running > 0) {
      ::kill(running, SIGKILL);
      ::waitpid(running, nullptr, 0);
    }
    EXPECT_EQ(install.exitStatus, c.status) << install.out << install.err;
    EXPECT_EQ(stateOf(result).exists, c.provisioned);
    const bool handOff = stateOf(HAND_OFF).exists;
    leaveQelConfig();

    const PaneRun german = showPane({"--language", "de"}, std::string("q\n"));
    EXPECT_EQ(german.title, text("de", "Title"));
    EXPECT_EQ(german.text, expected("de"));
    EXPECT_EQ(stateOf(result).exists, c.provisioned);
    EXPECT_TRUE(stateOf(QEL_CONFIG).exists);

    const PaneRun english = showPane({});
    EXPECT_EQ(english.run.exitStatus, 0) << english.run.err;
    EXPECT_EQ(english.title, "Installation Result");
    EXPECT_EQ(english.text, expected("en"));
    EXPECT_FALSE(stateOf(result).exists);
    EXPECT_FALSE(stateOf(QEL_CONFIG).exists);
    EXPECT_EQ(errorRecordOf("alice"), makeErrorRecord(kNoError));
    EXPECT_EQ(stateOf(HAND_OFF).exists, handOff) << "the hand-off file is not the pane's";
  }
}

TEST_F(OutcomePaneScenario, LanguageFromTheUsersPreferences) {
  sendAsAlice(makeErrorRecord(kInstanceIsRunning, {"Orrery"}));
  PlistValue preferences;
  preferences.set("AppleLanguages", PlistValue(os::PlistArray{"ja-JP", "en"}));
  setPreferences("alice", ".GlobalPreferences.plist", preferences);
  PaneRun pane = showPane({});
  EXPECT_EQ(pane.title, text("ja", "Title"));
  EXPECT_EQ(pane.text, text("ja", "install_instance_is_running", {"Orrery"}));

  // The locale alone, read as alice by a host that runs as root for her; the option wins.
  preferences = PlistValue();
  preferences.set("AppleLocale", "fr_FR");
  setPreferences("alice", ".GlobalPreferences.plist", preferences);
  pane = showPane({}, std::nullopt, std::nullopt, {{"USER", "alice"}});
  EXPECT_EQ(pane.title, text("fr", "Title"));
  EXPECT_EQ(pane.text, text("fr", "provisioning_request_unexpected_failure"));
  EXPECT_EQ(showPane({"--language", "de"}).title, text("de", "Title"));
}

TEST_F(OutcomePaneScenario, GoingBackAndForthFillsTheTextOnce) {
  const std::string platformHome = scratch_ / "platform";
  std::filesystem::create_directories(platformHome + "/rcp");
  shareWithAdmin(platformHome);
  PlistValue handOff;
  handOff.set("pathToRcpHome", platformHome + "/rcp");
  ASSERT_TRUE(os::writePlistFile(HAND_OFF, handOff));
  ASSERT_TRUE(writeFile(platformHome + "/.provisioning_rc", "rc=0\n"));

  // Go back (which leaves the pane), come forward again: the first text again; then continue.
  const PaneRun pane = showPane({}, std::string("b\n\n"));
  EXPECT_EQ(pane.run.exitStatus, 0) << pane.run.err;
  const std::string success = text("en", "provisioning_request_success");
  EXPECT_EQ(pane.text, success);
  EXPECT_NE(pane.run.out.find(success, pane.run.out.find(success) + 1), std::string::npos);
  EXPECT_FALSE(stateOf(platformHome + "/.provisioning_rc").exists);
  EXPECT_EQ(errorRecordOf("alice"), makeErrorRecord(kNoError));
}

TEST_F(OutcomePaneScenario, BundlesThatCannotBeShownAreRefused) {
  const std::string broken = scratch_ / "broken.bundle";
  std::filesystem::copy(kBundle, broken, std::filesystem::copy_options::recursive);
  PlistValue info;
  info.set("CFBundleExecutable", "outcomepane");
  info.set("RCPPaneFactory", "NoSuchFactory");
  ASSERT_TRUE(os::writePlistFile(broken + "/Contents/Info.plist", info));
  const std::string truncated = scratch_ / "truncated.bundle";
  std::filesystem::copy(kBundle, truncated, std::filesystem::copy_options::recursive);
  ASSERT_TRUE(writeFile(truncated + "/Contents/MacOS/outcomepane.so", "truncated"));
  const std::vector<std::pair<std::string, std::string>> cases = {
      {broken, "has no pane factory NoSuchFactory"},
      {truncated, "cannot load the plug-in " + truncated + "/Contents/MacOS/outcomepane.so: "},
      {scratch_ / "none.bundle", "none.bundle: no such plug-in bundle"}};
  for (const auto& [bundle, message] : cases) {
    const RunResult run = testing::runProgram({testing::binDir() + "/installer-pane-host", bundle});
    EXPECT_EQ(run.exitStatus, 1);
    EXPECT_NE(run.err.find(message), std::string::npos) << run.err;
  }
}

}  // namespace
}  // namespace rcpinstall::apply_scenario
