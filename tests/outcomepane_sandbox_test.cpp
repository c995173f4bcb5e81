// End-to-end scenarios of the result pane in the sandbox: installer-pane-host shows the built
// outcomepane.bundle as alice, after the outcome sources were laid out directly or left by
// runs of patchapply; afterwards the outcome files are gone and the channel holds code 0.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
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

const std::string kCharacters = "!\"';\\#%|=?/";

std::string paneBundle() {
  return testing::libDir() + "/outcomepane.bundle";
}

// A text of the bundle's table "Provision" in a localization.
std::string text(const std::string& language, const std::string& key) {
  const std::string file =
      paneBundle() + "/Contents/Resources/" + language + ".lproj/Provision.strings";
  const std::optional<os::StringsTable> table = os::parseStringsTable(readFile(file).value_or(""));
  if (!table || !table->contains(key)) return "<" + language + " " + key + " missing>";
  return table->at(key);
}

std::string bound(const std::string& language, const std::string& key,
                  const std::vector<std::string>& details) {
  return StringUtil::bindString(text(language, key), details).value_or("");
}

struct PaneRun {
  RunResult run;
  std::string title;
  std::string text;
};

// Runs installer-pane-host on the built bundle, as alice unless told; with input it runs
// interactively.
PaneRun showPane(const std::vector<std::string>& options,
                 const std::optional<std::string>& user = std::string("alice"),
                 const std::optional<std::string>& input = std::nullopt,
                 const testing::EnvOverrides& env = {}) {
  std::vector<std::string> argv = {testing::binDir() + "/installer-pane-host"};
  if (!input) argv.push_back("--non-interactive");
  argv.insert(argv.end(), options.begin(), options.end());
  argv.push_back(paneBundle());
  PaneRun pane{testing::runProgram(argv, env, user, input), "", ""};
  const std::string& out = pane.run.out;
  const size_t gap = out.find("\n\n");
  if (gap == std::string::npos) return pane;
  pane.title = out.substr(0, gap);
  size_t end = out.find("\n[Enter] Continue", gap + 2);
  if (end == std::string::npos) end = out.size() - (out.ends_with("\n") ? 1 : 0);
  pane.text = out.substr(gap + 2, end - gap - 2);
  return pane;
}

void sendAsAlice(const std::optional<PlistValue>& record) {
  ::setenv("USER", "alice", 1);
  InstallUtil::initInternalPasteboard(true);
  InstallUtil::sendErrorMessage(record);
  ::setenv("USER", "root", 1);
}

// A file of alice's, as an earlier run of hers could have left it.
void writeAliceFile(const std::string& path, const std::string& content) {
  ASSERT_TRUE(writeFile(path, content));
  const std::optional<uid_t> alice = os::lookupUserId("alice");
  ASSERT_TRUE(alice);
  ASSERT_EQ(::chown(path.c_str(), *alice, static_cast<gid_t>(-1)), 0);
}

// The platform home belongs to alice's group "admin", as a product in /Applications does, so
// that the pane, running as alice, can delete the result file in it.
void shareWithAdmin(const std::string& dir) {
  const std::optional<gid_t> admin = os::lookupGroupId("admin");
  ASSERT_TRUE(admin);
  ASSERT_EQ(::chown(dir.c_str(), static_cast<uid_t>(-1), *admin), 0);
  ASSERT_EQ(::chmod(dir.c_str(), 0775), 0);
}

// Starts the executable (a copy of sleep) and waits until the process list shows it.
pid_t startRunning(const std::string& executable) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::execl(executable.c_str(), executable.c_str(), "120", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  const std::string exe = "/proc/" + std::to_string(pid) + "/exe";
  for (int i = 0; i < 200; ++i) {
    std::error_code error;
    if (std::filesystem::read_symlink(exe, error).string() == executable) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return pid;
}

class OutcomePaneScenario : public PatchApplyScenario {
 protected:
  // What every exit of the pane leaves: no result file, no leftover configuration, the reset
  // record on alice's channel, and the hand-off file kept.
  void expectCleanedUp(const std::string& resultFile, bool handOffKept) {
    EXPECT_FALSE(stateOf(resultFile).exists) << resultFile;
    EXPECT_FALSE(stateOf(QEL_CONFIG).exists);
    EXPECT_EQ(errorRecordOf("alice"), makeErrorRecord(kNoError));
    EXPECT_EQ(stateOf(HAND_OFF).exists, handOffKept);
  }
};

TEST_F(OutcomePaneScenario, ShowsEachOutcomeFromItsSourcesAndCleansUp) {
  struct Case {
    const char* name;
    std::optional<PlistValue> record;
    std::optional<std::string> result;  // .provisioning_rc
    std::function<std::string(const std::string& language)> expected;
  };
  const std::string log =
      "2026-12-08 06:00:00;INFO;provisioning;update;0101260000;0;Starting\n"
      "2026-12-08 06:00:09;WARNING;provisioning;update;0101260000;2;Completed with partial "
      "results|-2 features installed|Restart the product\n";
  const std::string status =
      "Completed with partial results\n\n2 features installed\n\nRestart "
      "the product";
  const std::vector<Case> cases = {
      {"success", makeErrorRecord(kNoError), "rc=0\n",
       [](const std::string& l) { return text(l, "provisioning_request_success"); }},
      {"partial results with the status line", makeErrorRecord(kNoError), "rc=2\n",
       [&](const std::string& l) {
         return text(l, "provisioning_request_partial_results") + "\n\n" + status;
       }},
      {"provisioning failed", makeErrorRecord(kNoError), "rc=1\n",
       [](const std::string& l) { return text(l, "provisioning_request_unexpected_failure"); }},
      {"damaged result file", std::nullopt, "rc=done\n",
       [](const std::string& l) { return text(l, "provisioning_request_unexpected_failure"); }},
      {"no sources at all", std::nullopt, std::nullopt,
       [](const std::string& l) { return text(l, "provisioning_request_unexpected_failure"); }},
      {"code 3", makeErrorRecord(kUnsupportedCharacters), std::nullopt,
       [](const std::string& l) {
         return bound(l, "install_location_invalid_allow_nonascii_error", {}) + "\n" + kCharacters;
       }},
      {"code 2 with the location", makeErrorRecord(kInvalidInstallLocation, {"/Volumes/My#Disk"}),
       std::nullopt,
       [](const std::string& l) {
         return bound(l, "install_location_invalid_error", {"/Volumes/My#Disk"}) + "\n" +
                kCharacters;
       }},
      {"code 4", makeErrorRecord(kInstallFileNotFound, {"install.hotfix.xml"}), std::nullopt,
       [](const std::string& l) {
         return bound(l, "install_file_not_found_error", {"install.hotfix.xml"});
       }},
      {"code 6", makeErrorRecord(kInstanceIsRunning, {"Orrery"}), std::nullopt,
       [](const std::string& l) { return bound(l, "install_instance_is_running", {"Orrery"}); }},
      {"code 7 with partial results", makeErrorRecord(kHotfixFoundHigherVersion, {"/A/O.app"}),
       "rc=2\n",
       [&](const std::string& l) {
         return bound(l, "hotfix_found_higher_version", {"/A/O.app"}) + "\n\n" + status;
       }},
      {"code 8", makeErrorRecord(kInstalledPlatformNotFound, {"/Applications", "Orrery.app"}),
       std::nullopt,
       [](const std::string& l) {
         return bound(l, "hotfix_not_found_installed_platform_error", {"/Applications"});
       }},
      {"code 9", makeErrorRecord(9, {"x"}), "rc=0\n",
       [](const std::string& l) { return text(l, "provisioning_request_unexpected_failure"); }},
  };
  // English by default (alice has no language preference), German by the host's option.
  const std::vector<std::pair<std::string, std::vector<std::string>>> languages = {
      {"en", {}}, {"de", {"--language", "de"}}};

  int index = 0;
  for (const Case& c : cases) {
    for (const auto& [language, options] : languages) {
      SCOPED_TRACE(std::string(c.name) + " in " + language);
      clearMachine();
      const std::string platformHome = scratch_ / ("case-" + std::to_string(index++));
      const std::string rcpHome = platformHome + "/rcp";
      const std::string data = platformHome + "/workspace";
      ASSERT_EQ(std::system(("mkdir -p " + rcpHome + " " + data + "/logs").c_str()), 0);
      shareWithAdmin(platformHome);
      ASSERT_TRUE(writeFile(data + "/logs/provisioning.log", log));
      PlistValue handOff;
      handOff.set("P_RCPDATA", data);
      handOff.set("pathToRcpHome", rcpHome);
      ASSERT_TRUE(os::writePlistFile(HAND_OFF, handOff));
      if (c.result) {
        ASSERT_TRUE(writeFile(platformHome + "/.provisioning_rc", *c.result));
      }
      if (c.record) sendAsAlice(c.record);
      writeAliceFile(QEL_CONFIG, "left over\n");

      const PaneRun pane = showPane(options);

      EXPECT_EQ(pane.run.exitStatus, 0) << pane.run.out << pane.run.err;
      EXPECT_EQ(pane.title, text(language, "Title"));
      EXPECT_EQ(pane.text, c.expected(language));
      expectCleanedUp(platformHome + "/.provisioning_rc", true);
    }
  }
}

TEST_F(OutcomePaneScenario, EnglishTextsAsShown) {
  const PaneRun nothing = showPane({});
  EXPECT_EQ(nothing.run.out,
            "Installation Result\n\nThe hotfix could not be installed because of an unexpected "
            "error. Run the installation again; if the problem persists, contact your "
            "administrator.\n");
  sendAsAlice(makeErrorRecord(kUnsupportedCharacters));
  EXPECT_EQ(showPane({}).text,
            "The path of the install package or of the install location contains a character "
            "that is not supported. Letters outside ASCII are allowed, but none of these "
            "characters:\n!\"';\\#%|=?/");
  sendAsAlice(makeErrorRecord(kHotfixFoundHigherVersion, {"/Applications/Orrery.app"}));
  EXPECT_EQ(showPane({}).text,
            "A newer hotfix is already installed in /Applications/Orrery.app. This hotfix was "
            "not installed.");
}

TEST_F(OutcomePaneScenario, LanguageFromTheUsersPreferences) {
  sendAsAlice(makeErrorRecord(kInstanceIsRunning, {"Orrery"}));
  PlistValue languages;
  languages.set("AppleLanguages", PlistValue(os::PlistArray{"ja-JP", "en"}));
  setPreferences("alice", ".GlobalPreferences.plist", languages);
  PaneRun pane = showPane({});
  EXPECT_EQ(pane.title, text("ja", "Title"));
  EXPECT_EQ(pane.text, bound("ja", "install_instance_is_running", {"Orrery"}));

  // The locale alone, read as alice by a host that runs as root for her; the option wins.
  PlistValue locale;
  locale.set("AppleLocale", "fr_FR");
  setPreferences("alice", ".GlobalPreferences.plist", locale);
  pane = showPane({}, std::nullopt, std::nullopt, {{"USER", "alice"}});
  EXPECT_EQ(pane.title, text("fr", "Title"));
  EXPECT_EQ(pane.text, text("fr", "provisioning_request_unexpected_failure"));
  EXPECT_EQ(errorRecordOf("alice"), makeErrorRecord(kNoError));
  EXPECT_EQ(showPane({"--language", "de"}).title, text("de", "Title"));
}

TEST_F(OutcomePaneScenario, GoingBackAndForthFillsTheTextOnce) {
  const std::string platformHome = scratch_ / "platform";
  ASSERT_EQ(std::system(("mkdir -p " + platformHome + "/rcp").c_str()), 0);
  shareWithAdmin(platformHome);
  PlistValue handOff;
  handOff.set("pathToRcpHome", platformHome + "/rcp");
  ASSERT_TRUE(os::writePlistFile(HAND_OFF, handOff));
  ASSERT_TRUE(writeFile(platformHome + "/.provisioning_rc", "rc=0\n"));

  // Go back (which leaves the pane), come forward again, then continue.
  const PaneRun pane = showPane({}, std::string("alice"), std::string("b\n\n"));
  EXPECT_EQ(pane.run.exitStatus, 0) << pane.run.err;
  const std::string success = text("en", "provisioning_request_success");
  EXPECT_EQ(pane.text, success);
  size_t shown = 0;
  for (size_t at = pane.run.out.find(success); at != std::string::npos;
       at = pane.run.out.find(success, at + 1)) {
    ++shown;
  }
  EXPECT_EQ(shown, 2u) << "shown on both entries, with the text of the first" << pane.run.out;
  expectCleanedUp(platformHome + "/.provisioning_rc", true);

  // Quitting on the pane leaves the outcome in place.
  ASSERT_TRUE(writeFile(platformHome + "/.provisioning_rc", "rc=0\n"));
  sendAsAlice(makeErrorRecord(kInstanceIsRunning, {"Orrery"}));
  EXPECT_EQ(showPane({}, std::string("alice"), std::string("q\n")).run.exitStatus, 0);
  EXPECT_TRUE(stateOf(platformHome + "/.provisioning_rc").exists);
  EXPECT_EQ(errorRecordOf("alice"), makeErrorRecord(kInstanceIsRunning, {"Orrery"}));
}

TEST_F(OutcomePaneScenario, HostRefusesWhatItCannotShow) {
  const RunResult noBundle = testing::runProgram(
      {testing::binDir() + "/installer-pane-host", "--non-interactive", scratch_ / "none"});
  EXPECT_EQ(noBundle.exitStatus, 1);
  EXPECT_NE(noBundle.err.find("no such plug-in bundle"), std::string::npos) << noBundle.err;

  const std::string copy = scratch_ / "broken.bundle";
  ASSERT_EQ(std::system(("cp -r " + paneBundle() + " " + copy).c_str()), 0);
  ASSERT_TRUE(writeFile(copy + "/Contents/MacOS/outcomepane.so", "truncated"));
  const RunResult broken =
      testing::runProgram({testing::binDir() + "/installer-pane-host", "--non-interactive", copy});
  EXPECT_EQ(broken.exitStatus, 1);
  EXPECT_NE(broken.err.find("cannot load the plug-in"), std::string::npos) << broken.err;
}

// After runs of patchapply: the pane shows what the run left, first interactively in German
// (quitting there leaves everything in place), then as scripts run it, in English.
TEST_F(OutcomePaneScenario, AfterEachKindOfInstallRun) {
  if (!stateOf(testing::binDir() + "/patchapply").exists) {
    GTEST_SKIP() << "patchapply is not built in this tree";
  }
  struct Case {
    const char* name;
    std::function<std::pair<std::string, std::string>(const std::string& dir)> setUp;
    std::function<std::string(const std::string& language, const std::string& dir)> expected;
    bool provisioned;  // the run reached the launcher and left a result and a hand-off
  };
  const std::vector<Case> cases = {
      {"success",
       [](const std::string& dir) {
         Product product(dir + "/Applications");
         shareWithAdmin(product.platformHome);
         return std::pair{Package(dir + "/package").path, dir + "/Applications"};
       },
       [](const std::string& l, const std::string&) {
         return text(l, "provisioning_request_success");
       },
       true},
      {"partial results",
       [](const std::string& dir) {
         Product product(dir + "/Applications");
         shareWithAdmin(product.platformHome);
         return std::pair{
             Package(dir + "/package", {"--unfetchable", "com.zantec.orrery.fix.ui"}).path,
             dir + "/Applications"};
       },
       [](const std::string& l, const std::string&) {
         return text(l, "provisioning_request_partial_results") +
                "\n\nProvisioning completed with partial results\n\n2 features installed\n\n"
                "Not fetched: com.zantec.orrery.fix.ui 1.0.2\n\nRestart the product";
       },
       true},
      {"provisioning fails",
       [](const std::string& dir) {
         Product product(dir + "/Applications");
         product.setFault("rc=1\n");
         shareWithAdmin(product.platformHome);
         return std::pair{Package(dir + "/package").path, dir + "/Applications"};
       },
       [](const std::string& l, const std::string&) {
         return text(l, "provisioning_request_unexpected_failure");
       },
       true},
      {"code 3",
       [](const std::string& dir) {
         Product product(dir + "/Apps;old");
         return std::pair{Package(dir + "/package").path, dir + "/Apps;old"};
       },
       [](const std::string& l, const std::string&) {
         return bound(l, "install_location_invalid_allow_nonascii_error", {}) + "\n" + kCharacters;
       },
       false},
      {"code 4",
       [](const std::string& dir) {
         Product product(dir + "/Applications");
         shareWithAdmin(product.platformHome);
         return std::pair{Package(dir + "/package", {"--without", "install-manifest"}).path,
                          dir + "/Applications"};
       },
       [](const std::string& l, const std::string& dir) {
         return bound(l, "install_file_not_found_error",
                      {dir + "/package/Hotfix.mpkg/Contents/Packages/hotfix.pkg/../deploy/"
                             "install.hotfix.xml"});
       },
       false},
      {"code 6",
       [](const std::string& dir) {
         Product product(dir + "/Applications");
         return std::pair{Package(dir + "/package").path, dir + "/Applications"};
       },
       [](const std::string& l, const std::string&) {
         return bound(l, "install_instance_is_running", {"Orrery"});
       },
       false},
      {"code 7",
       [](const std::string& dir) {
         Product product(dir + "/Applications", {"--hotfix-version", "2.0"});
         return std::pair{Package(dir + "/package", {"--version", "1.0"}).path,
                          dir + "/Applications"};
       },
       [](const std::string& l, const std::string& dir) {
         return bound(l, "hotfix_found_higher_version", {dir + "/Applications/Orrery.app"});
       },
       false},
      {"code 8",
       [](const std::string& dir) {
         return std::pair{Package(dir + "/package").path, dir + "/Applications"};
       },
       [](const std::string& l, const std::string& dir) {
         return bound(l, "hotfix_not_found_installed_platform_error", {dir + "/Applications"});
       },
       false},
  };
  int index = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    clearMachine();
    const std::string dir = scratch_ / ("run-" + std::to_string(index++));
    ASSERT_EQ(::mkdir(dir.c_str(), 0755), 0);
    const auto [package, destination] = c.setUp(dir);
    const std::string platformHome = destination + "/Orrery.app/Contents/MacOS";

    // The running product, for code 6: its own executable, started from its bundle.
    pid_t running = -1;
    if (std::string_view(c.name) == "code 6") {
      const std::string executable = platformHome + "/Orrery";
      ASSERT_TRUE(writeFile(executable, readFile("/bin/sleep").value_or(""), 0755));
      running = startRunning(executable);
    }
    const RunResult install = patchapply({package, destination});
    if (running > 0) {
      ::kill(running, SIGKILL);
      ::waitpid(running, nullptr, 0);
    }
    EXPECT_EQ(install.exitStatus,
              std::string_view(c.name) == "success" || std::string_view(c.name) == "partial results"
                  ? 0
                  : 1)
        << install.out << install.err;
    EXPECT_EQ(stateOf(platformHome + "/.provisioning_rc").exists, c.provisioned);
    const bool handOff = stateOf(HAND_OFF).exists;
    EXPECT_TRUE(handOff || !c.provisioned);
    writeAliceFile(QEL_CONFIG, "left over\n");

    const PaneRun german = showPane({"--language", "de"}, std::string("alice"), std::string("q\n"));
    EXPECT_EQ(german.title, text("de", "Title"));
    EXPECT_EQ(german.text, c.expected("de", dir));
    EXPECT_EQ(stateOf(platformHome + "/.provisioning_rc").exists, c.provisioned);
    EXPECT_TRUE(stateOf(QEL_CONFIG).exists);

    const PaneRun english = showPane({});
    EXPECT_EQ(english.run.exitStatus, 0) << english.run.err;
    EXPECT_EQ(english.title, text("en", "Title"));
    EXPECT_EQ(english.text, c.expected("en", dir));
    expectCleanedUp(platformHome + "/.provisioning_rc", handOff);
  }
}

}  // namespace
}  // namespace rcpinstall::apply_scenario
