// End-to-end scenarios of hotfixcheck in the sandbox: plan agrees with what patchapply then
// does, no command changes anything outside its own temporary directory, lint finds each kind
// of fault, and rehearse passes sample packages and fails broken ones.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <functional>
#include <nlohmann/json.hpp>
#include <set>

#include "os/path.h"
#include "tests/patchapply_scenario.h"

namespace rcpinstall::apply_scenario {
namespace {

using nlohmann::json;

struct Report {
  RunResult run;
  json document;
};

// Runs hotfixcheck --json, as root unless a user is named, within a limit of its address
// space (KiB) when one is given.
Report hotfixcheck(const std::vector<std::string>& arguments,
                   const std::optional<std::string>& user = std::nullopt, int memoryKiB = 0) {
  std::vector<std::string> argv = {testing::binDir() + "/hotfixcheck"};
  // The inventory value is no JSON document; the two options exclude each other.
  if (std::find(arguments.begin(), arguments.end(), "--inventory") == arguments.end()) {
    argv.push_back("--json");
  }
#if defined(__SANITIZE_ADDRESS__)
  memoryKiB = 0;  // the sanitizer's shadow memory needs more address space than a limit leaves
#endif
  if (memoryKiB > 0) {
    argv.insert(argv.begin(), {"/bin/sh", "-c",
                               "ulimit -v " + std::to_string(memoryKiB) + " && exec \"$@\"", "sh"});
  }
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  Report report{testing::runProgram(argv, {{"USER", user.value_or("alice")}}, user), {}};
  report.document = json::parse(report.run.out, nullptr, false);
  return report;
}

// The runs recorded beside a launcher, each with its program first.
Runs recordedRuns(const std::string& rcpHome) {
  Runs runs;
  std::istringstream lines(readFile(rcpHome + "/ignitor.calls").value_or(""));
  std::vector<std::string> run;
  for (std::string line; std::getline(lines, line);) {
    if (!line.empty()) {
      run.push_back(line);
    } else {
      runs.push_back(run);
      run.clear();
    }
  }
  return runs;
}

// Everything a check may not change: the scenario's folder (products, packages), every other
// entry of /tmp (the fixed names, the error channels) and the product registry.
std::map<std::string, std::string> machine(const std::string& dir) {
  std::map<std::string, std::string> state = snapshot(dir);
  // Only the names in /tmp that the tools may touch: whatever else writes there meanwhile (the
  // tests that run beside this one, a build directory) is none of theirs.
  for (const auto& entry : std::filesystem::directory_iterator("/tmp")) {
    const std::string path = entry.path().string();
    const std::string name = entry.path().filename().string();
    const bool ours = path == ERROR_MARKER || path == HAND_OFF || path == TRACE_LOG ||
                      path == QEL_CONFIG || name.starts_with(".pasteboards-") ||
                      name.starts_with("hotfixcheck") || name.starts_with(".rcptmp.");
    if (!ours || (dir + "/").starts_with(path + "/")) continue;
    const EntryState at = stateOf(path);
    state[path] = std::to_string(at.mode) + " " + at.owner + " " + readFile(path).value_or("");
    state.merge(snapshot(path));
  }
  state.merge(snapshot("/Library"));
  return state;
}

// The content of every file below a directory (a directory: its own mark).
std::map<std::string, std::string> contents(const std::string& dir) {
  std::map<std::string, std::string> files;
  std::error_code ec;
  for (auto it = std::filesystem::recursive_directory_iterator(dir, ec);
       !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    const std::string path = it->path().string();
    files[path] = it->is_directory() ? "<directory>" : readFile(path).value_or("<unreadable>");
  }
  return files;
}

// What patchapply changed below the bundle that plan's steps do not account for, and the
// files plan says a step writes that did not change, for the outcome that happened. What the
// launcher writes (install.xml, the plug-in tree, the workspace, its result and the
// simulator's record of its runs) is the platform's, not a step's.
std::vector<std::string> unaccounted(const json& plan, const std::string& bundle,
                                     const std::map<std::string, std::string>& before,
                                     const std::map<std::string, std::string>& after,
                                     bool provisioned) {
  bool staged = false;
  for (const json& step : plan["steps"]) {
    staged = staged || (step["step"] == "stage the removal manifest" && step["action"] != "none");
  }
  std::vector<std::string> expected;
  std::vector<std::string> written;
  for (const json& step : plan["steps"]) {
    const std::string when = step["condition"], action = step["action"];
    const bool happens = when == "always" || (staged && when == "removalManifestStaged") ||
                         (staged && provisioned && when == "removalSucceeded") ||
                         (provisioned && when == "provisioningSucceeded");
    if (!happens || action == "run" || action == "repair" || action == "none") continue;
    std::string path = step["path"];
    for (const json& outcome : step["pathOnOutcome"].is_array() ? step["pathOnOutcome"] : json()) {
      if (outcome["outcome"] ==
          (staged ? "the removal staged its manifest" : "the removal did not stage its manifest")) {
        path = outcome["path"];
      }
    }
    if (!path.starts_with(bundle + "/")) continue;
    expected.push_back(path);
    if (action != "delete") written.push_back(path);
  }
  const auto covered = [&](const std::string& path, const std::vector<std::string>& by) {
    return std::any_of(by.begin(), by.end(), [&](std::string p) {
      if (const size_t at = p.find("<new version>"); at != std::string::npos) {
        return path.size() == p.size() - 3 && path.starts_with(p.substr(0, at)) &&
               path.ends_with(p.substr(at + 13));
      }
      return path == p || path.starts_with(p + "/");
    });
  };
  std::set<std::string> changed;
  for (const auto& [path, content] : after) {
    if (!before.contains(path) || before.at(path) != content) changed.insert(path);
  }
  for (const auto& [path, content] : before) {
    if (!after.contains(path)) changed.insert(path);
  }
  std::vector<std::string> problems;
  for (const std::string& path : changed) {
    const bool launchers = path.ends_with("/deploy/install.xml") ||
                           path.find("/rcp/eclipse/") != std::string::npos ||
                           path.find("/workspace") != std::string::npos ||
                           path.ends_with("/ignitor.calls") || path.ends_with("/.provisioning_rc");
    if (!launchers && !covered(path, expected)) problems.push_back("changed unannounced: " + path);
  }
  for (const std::string& path : written) {
    const std::vector<std::string> one{path};
    if (std::none_of(changed.begin(), changed.end(),
                     [&](const std::string& c) { return covered(c, one); })) {
      problems.push_back("announced, unchanged: " + path);
    }
  }
  return problems;
}

class HotfixCheck : public PatchApplyScenario {};

TEST_F(HotfixCheck, PlanPredictsTheCodeAndLauncherRunsOfPatchApplyAndChangesNothing) {
  pid_t running = -1;
  struct Case {
    const char* name;
    std::function<std::pair<std::string, std::string>(const std::string& dir)> setUp;
    int code;
    size_t runs;
    bool relative = false;          // both run in the case's directory
    const char* note = nullptr;     // a text that one of the steps' notes holds
    const char* warning = nullptr;  // a text of the warnings
  };
  const std::vector<Case> cases = {
      {"success",
       [](const std::string& dir) {
         Product product(dir + "/Applications");
         return std::pair{Package(dir + "/package").path, dir + "/Applications"};
       },
       0, 1},
      {"relative paths",
       [](const std::string& dir) {
         Product product(dir + "/Applications");
         Package package(dir + "/package");
         return std::pair{package.path.substr(dir.size() + 1), std::string("Applications")};
       },
       0, 1, true},
      {"unsupported characters",
       [](const std::string& dir) {
         Product product(dir + "/Applications");
         return std::pair{Package(dir + "/hot#fix").path, dir + "/Applications"};
       },
       kUnsupportedCharacters, 0},
      {"product running",
       [&running](const std::string& dir) {
         Product product(dir + "/Applications", {"--hotfix-version", "1.0.1"});
         const std::string executable = product.platformHome + "/Orrery";
         writeFile(executable, readFile("/bin/sleep").value_or(""), 0755);
         char* const argv[] = {const_cast<char*>(executable.c_str()), const_cast<char*>("120"),
                               nullptr};
         ::posix_spawn(&running, executable.c_str(), nullptr, nullptr, argv, environ);
         return std::pair{Package(dir + "/package").path, dir + "/Applications"};
       },
       kInstanceIsRunning, 0},
      {"higher hotfix installed",
       [](const std::string& dir) {
         Product product(dir + "/Applications", {"--hotfix-version", "2.0"});
         return std::pair{Package(dir + "/package", {"--version", "10.0"}).path,
                          dir + "/Applications"};
       },
       kHotfixFoundHigherVersion, 0, false, nullptr,
       "version 10.0 orders before the installed hotfix 2.0 (versions compare as text), although "
       "its number is higher"},
      {"no installed platform",
       [](const std::string& dir) {
         Product product(dir + "/Applications", {"--without", "install-manifest"});
         return std::pair{Package(dir + "/package").path, dir + "/Applications"};
       },
       kInstalledPlatformNotFound, 0},
      {"install manifest missing",
       [](const std::string& dir) {
         Product product(dir + "/Applications");
         return std::pair{Package(dir + "/package", {"--without", "install-manifest"}).path,
                          dir + "/Applications"};
       },
       kInstallFileNotFound, 0},
      {"install manifest does not parse",
       [](const std::string& dir) {
         Product product(dir + "/Applications");
         const Package package(dir + "/package");
         writeFile(package.deploy("install.hotfix.xml"), "<install><unclosed>");
         return std::pair{package.path, dir + "/Applications"};
       },
       kInstallFileNotFound, 0},
      {"an installed hotfix without a removal manifest",
       [](const std::string& dir) {
         Product product(dir + "/Applications", {"--hotfix-version", "1.0.1"});
         ::unlink(product.deploy("uninstall.hotfix.xml").c_str());
         return std::pair{Package(dir + "/package").path, dir + "/Applications"};
       },
       0, 1},
      {"the installed hotfix is removed first",
       [](const std::string& dir) {
         Product product(dir + "/Applications", {"--hotfix-version", "1.0.1"});
         return std::pair{Package(dir + "/package").path, dir + "/Applications"};
       },
       0, 4},
      {"the registry moves the destination",
       [](const std::string& dir) {
         Product product(dir + "/Registered");
         writeRegistry("Orrery", product.bundle);
         return std::pair{Package(dir + "/package").path, dir + "/Applications"};
       },
       0, 1},
      {"multi-instance ignores the registry",
       [](const std::string& dir) {
         Product here(dir + "/Applications");
         writeRegistry("Orrery", Product(dir + "/Registered").bundle);
         return std::pair{Package(dir + "/package", {"--allow-multi-instance"}).path,
                          dir + "/Applications"};
       },
       0, 1},
      {"provisioning fails",
       [](const std::string& dir) {
         Product(dir + "/Applications").setFault("rc=1\n");
         return std::pair{Package(dir + "/package").path, dir + "/Applications"};
       },
       0, 1},
      {"an install manifest that cannot be read",
       [](const std::string& dir) {
         Product product(dir + "/Applications");
         const Package package(dir + "/package", {"--without", "install-manifest"});
         std::filesystem::create_directory(package.deploy("install.hotfix.xml"));
         return std::pair{package.path, dir + "/Applications"};
       },
       kInstallFileNotFound, 0},
      {"extras that lead out of the package",
       [](const std::string& dir) {
         Product product(dir + "/Applications");
         const Package package(dir + "/package");
         std::filesystem::rename(package.deploy("extras"), dir + "/builder-extras");
         std::filesystem::create_directory_symlink(dir + "/builder-extras",
                                                   package.deploy("extras"));
         return std::pair{package.path, dir + "/Applications"};
       },
       0, 1, false, "the install puts that link itself into the product"},
  };
  int index = 0;
  const std::filesystem::path home = std::filesystem::current_path();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    clearMachine();
    running = -1;
    const std::string dir = scratch_ / ("case-" + std::to_string(index++));
    const auto [package, destination] = c.setUp(dir);
    std::filesystem::current_path(c.relative ? std::filesystem::path(dir) : home);
    const auto before = machine(dir);

    const Report plan = hotfixcheck({"plan", package, destination});

    EXPECT_EQ(machine(dir), before) << "plan changed something";
    ASSERT_TRUE(plan.document.is_object()) << plan.run.out << plan.run.err;
    EXPECT_EQ(plan.document["formatVersion"], 1);
    EXPECT_EQ(plan.document["code"], c.code);
    EXPECT_EQ(plan.run.exitStatus, c.code);
    const std::string bundle = plan.document["bundle"].is_string()
                                   ? plan.document["bundle"].get<std::string>()
                                   : std::string("/nowhere");
    const auto filesBefore = contents(bundle);
    const RunResult applied = patchapply({package, destination});
    if (running > 0) {
      ::kill(running, SIGKILL);
      ::waitpid(running, nullptr, 0);
    }
    const std::optional<os::PlistValue> record = errorRecordOf("alice");
    ASSERT_TRUE(record.has_value());
    EXPECT_EQ(*record->find(ERROR_CODE)->asInteger(), c.code);
    std::vector<std::string> details;
    for (const os::PlistValue& detail : *record->find(ERROR_DETAILS)->asArray()) {
      details.push_back(*detail.asString());
    }
    EXPECT_EQ(plan.document["details"].get<std::vector<std::string>>(), details);
    const Runs predicted = plan.document["launcherRuns"].get<Runs>();
    EXPECT_EQ(predicted.size(), c.runs);
    EXPECT_EQ(plan.document["launcherRunConditions"].size(), c.runs);
    if (c.runs == 4) {  // the cleanup waits on the removal's update runs
      EXPECT_EQ(plan.document["launcherRunConditions"][2],
                "when the removal's provisioning succeeds");
    }
    EXPECT_EQ(plan.document["launcherMissing"], false);
    if (plan.document["rcpHome"].is_string()) {
      EXPECT_EQ(recordedRuns(plan.document["rcpHome"].get<std::string>()), predicted);
    }
    if (std::string(c.name) != "provisioning fails") {
      EXPECT_EQ(plan.document["exitStatus"], applied.exitStatus);
    }
    if (c.code == 0) {
      EXPECT_EQ(unaccounted(plan.document, bundle, filesBefore, contents(bundle),
                            std::string(c.name) != "provisioning fails"),
                std::vector<std::string>{});
    }
    if (c.relative) {  // made absolute for the platform, which has no working directory of ours
      EXPECT_EQ(plan.document["destination"], dir + "/Applications");
      EXPECT_EQ(predicted.at(0).at(11), "-DprovUpdateSiteListOverride=file:" + dir + "/" + package +
                                            "/../../updates/platform");
    }
    if (c.note != nullptr) {
      EXPECT_NE(plan.document["steps"].dump().find(c.note), std::string::npos) << plan.run.out;
    }
    EXPECT_EQ(plan.document["warnings"].size(), c.warning ? 1u : 0u) << plan.run.out;
    if (c.warning != nullptr) {
      EXPECT_NE(plan.document["warnings"].dump().find(c.warning), std::string::npos);
    }
  }
  std::filesystem::current_path(home);

  const Product without(scratch_ / "without-launcher/Applications");
  ASSERT_EQ(::unlink(without.rcp("ignitor").c_str()), 0);
  const Report missing = hotfixcheck(
      {"plan", Package(scratch_ / "without-launcher/package").path, without.bundle + "/.."});
  EXPECT_EQ(missing.document["launcherMissing"], true) << missing.run.out;

  // rcpsim lays out below a relative directory with absolute paths; the text of plan quotes
  // the launcher command lines as a shell reads them.
  const std::string spaced = scratch_ / "with space";
  std::filesystem::create_directories(spaced);
  ASSERT_EQ(testing::runProgram({"/bin/sh", "-c", "cd \"$0\" && exec \"$1\" product Applications",
                                 spaced, testing::binDir() + "/rcpsim"})
                .exitStatus,
            0);
  const std::string properties =
      spaced + "/Applications/Orrery.app/Contents/MacOS/rcp/" + "ignitor.properties";
  EXPECT_NE(readFile(properties).value_or("").find("rcp.data=" + spaced), std::string::npos);
  const std::string spacedPackage = Package(spaced + "/package").path;
  const RunResult text = testing::runProgram(
      {testing::binDir() + "/hotfixcheck", "plan", spacedPackage, spaced + "/Applications"});
  EXPECT_NE(text.out.find(" '-DprovUpdateSiteListOverride=file:" + spacedPackage +
                          "/../../updates/platform'"),
            std::string::npos)
      << text.out;
  EXPECT_EQ(text.out.find("warning:"), std::string::npos) << text.out;
  // A relative rcp.data is warned of by plan and status.
  const Product relative(scratch_ / "relative/Applications", {"--rcp-data", "rel/workspace"});
  for (const std::vector<std::string>& command :
       std::vector<std::vector<std::string>>{{"plan", Package(scratch_ / "relative/package").path,
                                              scratch_ / "relative/Applications"},
                                             {"status", relative.platformHome}}) {
    const Report report = hotfixcheck(command);
    EXPECT_NE(report.document["warnings"].dump().find(relative.rcp("ignitor.properties") +
                                                      " is the relative path rel/workspace"),
              std::string::npos)
        << report.run.out;
  }
}

TEST_F(HotfixCheck, LintStatusAndRehearseChangeNothingAndReportTheInstance) {
  const Product product(scratch_ / "Applications", {"--hotfix-version", "1.0.1"});
  const Package package(scratch_ / "package");
  ASSERT_TRUE(writeFile(product.rcp("ignitor.calls"), "an earlier run\n\n"));
  ASSERT_TRUE(writeFile(QEL_CONFIG, "left by the platform\n"));
  ASSERT_TRUE(writeFile(HAND_OFF, "earlier hand-off\n"));
  const auto before = machine(scratch_.path());

  const Report lint = hotfixcheck({"lint", package.path});
  const Report status = hotfixcheck({"status", product.platformHome});
  const Report rehearsal = hotfixcheck({"rehearse", package.path, scratch_ / "Applications"});

  EXPECT_EQ(machine(scratch_.path()), before);
  EXPECT_EQ(lint.run.exitStatus, 0) << lint.run.out;
  EXPECT_EQ(status.run.exitStatus, 0) << status.run.out;
  const json& s = status.document;
  EXPECT_EQ(s["applicationVersion"], "6.2.1");
  EXPECT_EQ(s["version"], "6.2.1");
  EXPECT_EQ(s["hotfixVersion"], "1.0.1");
  EXPECT_EQ(s["basePluginVersion"], "6.2.0.20090101-0100");
  EXPECT_EQ(s["installFeatures"].size(), 3u);
  EXPECT_EQ(s["stagedManifests"], json({"uninstall.hotfix.xml"}));
  EXPECT_EQ(s["provisioningResult"], nullptr);
  EXPECT_EQ(s["running"], false);
  EXPECT_EQ(s["installState"], "installed");
  EXPECT_EQ(s["lastInstall"], nullptr);  // alice installed nothing
  EXPECT_EQ(hotfixcheck({"status", scratch_ / "nowhere"}).run.exitStatus, 1);

  EXPECT_EQ(rehearsal.run.exitStatus, 0) << rehearsal.run.out << rehearsal.run.err;
  const json& r = rehearsal.document;
  EXPECT_EQ(r["installed"], true);
  EXPECT_EQ(r["removed"], true);
  EXPECT_EQ(r["roundTrip"], true);
  EXPECT_EQ(r["featuresAdded"].size(), 3u);
  // Its own runs only: the older hotfix is removed first (2 updates, cleanup), the install,
  // then the removal.
  EXPECT_EQ(r["launcherRuns"].size(), 7u);

  // A report that cannot be written is a failure of the tool, never an answer.
  const std::string home = product.platformHome;
  for (const std::string& command :
       {"--json lint '" + package.path + "'",
        "--json plan '" + package.path + "' " + scratch_ / "Applications",
        "--json rehearse '" + package.path + "' " + scratch_ / "Applications",
        "--json status " + home, "status --inventory " + home,
        "--json needs-install " + home + " 1.0.2"}) {
    const RunResult full = testing::runProgram(
        {"/bin/sh", "-c", testing::binDir() + "/hotfixcheck " + command + " >/dev/full"});
    EXPECT_EQ(full.exitStatus, 2) << command << full.err;
    EXPECT_NE(full.err.find("No space left on device"), std::string::npos) << full.err;
  }
}

TEST_F(HotfixCheck, FilesAboveTheSizeCapEndInAFailureThatNamesThem) {
  const Product product(scratch_ / "Applications");
  const Package package(scratch_ / "package");
  std::filesystem::resize_file(product.rcp("installInfo.plist"), uintmax_t{3} << 30);
  const std::string home = product.platformHome;
  for (const std::vector<std::string>& command :
       std::vector<std::vector<std::string>>{{"status", home},
                                             {"status", "--inventory", home},
                                             {"needs-install", home, "1.0.2"},
                                             {"plan", package.path, scratch_ / "Applications"}}) {
    const Report report = hotfixcheck(command, std::nullopt, 1 << 20);
    EXPECT_EQ(report.run.exitStatus, 2) << command[0] << report.run.err;
    EXPECT_NE((report.run.out + report.run.err).find("installInfo.plist"), std::string::npos)
        << report.run.out << report.run.err;
  }
}

// Each way an instance can hold its hotfix, as every tool reports it; the last install is
// reported for its own product only.
TEST_F(HotfixCheck, StatusInventoryNeedsInstallAndFeaturecheckAgreeOnTheInstallState) {
  const Package package(scratch_ / "package");
  struct Case {
    const char* name;
    const char* fault;  // ignitor.fault of the install; none: no install is run
    const char* mark;   // a mark of a change in progress left in the rcp home
    const char* state;
    const char* inventory;
    int needsInstall;
    const char* featurecheck;
  };
  const std::vector<Case> cases = {
      {"installed", "", nullptr, "installed", "1.0.2", 1, "1.0.2"},
      {"the launcher applies the hotfix, then fails", "rc=1\n", nullptr, "half-installed",
       "1.0.2 (half-installed)", 0, "1.0.2"},
      {"an install was cut off", nullptr, "operation=install\n", "half-installed", "half-installed",
       0, "-1"},
      {"nothing installed", nullptr, nullptr, "none", "none", 0, "-1"},
  };
  int index = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Product product(scratch_ / ("case-" + std::to_string(index++)));
    if (c.mark) writeFile(product.rcp(".hotfix-change-in-progress"), c.mark);
    if (c.fault) {
      product.setFault(c.fault);
      patchapply({package.path, os::deletingLastComponent(product.bundle)});
    }
    const json status = hotfixcheck({"status", product.platformHome}).document;
    EXPECT_EQ(status["installState"], c.state);
    // The error channel holds the last install, of another product when none ran here.
    EXPECT_EQ(status["lastInstall"].is_null(), c.fault == nullptr) << status["lastInstall"];
    const auto answer = [&](const std::vector<std::string>& argv) {
      return testing::runProgram(argv, {{"USER", "alice"}});
    };
    EXPECT_EQ(
        answer({testing::binDir() + "/hotfixcheck", "status", "--inventory", product.platformHome})
            .out,
        "<result>" + std::string(c.inventory) + "</result>\n");
    EXPECT_EQ(
        answer({testing::binDir() + "/hotfixcheck", "needs-install", product.platformHome, "1.0.2"})
            .exitStatus,
        c.needsInstall);
    EXPECT_EQ(answer({testing::binDir() + "/featurecheck", "-rcphome", product.platformHome,
                      "-installfeatureID", "com.zantec.orrery.hotfix"})
                  .out,
              c.featurecheck);
  }
}

// Every key of the documents, at any depth; a "<field>Hex" key counts as its field.
void collectKeys(const json& value, std::set<std::string>& keys) {
  if (value.is_array()) {
    for (const json& item : value) collectKeys(item, keys);
  } else if (value.is_object()) {
    for (const auto& [key, item] : value.items()) {
      keys.insert(key.ends_with("Hex") ? key.substr(0, key.size() - 3) : key);
      collectKeys(item, keys);
    }
  }
}

// The quoted field names between two marks of a text (the example "...Hex" field left out).
std::set<std::string> documentedFields(const std::string& text, const std::string& from,
                                       const std::string& to, const std::string& quote) {
  const size_t begin = text.find(from);
  const size_t end = text.find(to, begin);
  std::set<std::string> fields;
  for (size_t at = text.find(quote, begin); at < end; at = text.find(quote, at)) {
    const size_t close = text.find(quote, at + quote.size());
    const std::string word = text.substr(at + quote.size(), close - at - quote.size());
    if (close >= end) break;
    if (!word.empty() && !word.ends_with("Hex") &&
        word.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ") ==
            std::string::npos) {
      fields.insert(word);
    }
    at = close + quote.size();
  }
  return fields;
}

TEST_F(HotfixCheck, EveryPrintedJsonFieldIsInTheManualPageTheHelpAndTheFleetGuide) {
  const Product product(scratch_ / "Applications", {"--hotfix-version", "1.0.1"});
  // A path that is not UTF-8, and a finding for lint.
  const Package package(scratch_ / "package\xff");
  os::PlistValue settings = *os::readPlistFile(package.settings());
  settings.set("rcpHome", os::PlistValue(std::string("/nowhere")));
  os::writePlistFile(package.settings(), settings);
  ASSERT_EQ(std::system(("chown -R bob '" + package.mpkg + "'").c_str()), 0);
  const std::string home = product.platformHome;
  // bob's last install was of this product (refused: a higher hotfix is installed), so that
  // status reports it.
  testing::runProgram(
      {testing::binDir() + "/patchapply", Package(scratch_ / "older", {"--version", "1.0.0"}).path,
       scratch_ / "Applications"},
      {}, std::string("bob"));
  ASSERT_EQ(std::system(("mkdir -p " + product.rcp("hotfix-backups/1")).c_str()), 0);
  writeFile(product.rcp("hotfix-backups/1/changes"), "replaced\tdeploy/.keystore\nadded\tx\n");
  std::set<std::string> printed;
  bool hex = false;
  for (const std::vector<std::string>& command : std::vector<std::vector<std::string>>{
           {"lint", package.path},
           {"plan", package.path, scratch_ / "Applications"},
           {"--keep", "rehearse", package.path, scratch_ / "Applications"},
           {"status", home},
           {"needs-install", home, "1.0.2"}}) {
    const Report report = hotfixcheck(command, std::string("bob"));
    ASSERT_TRUE(report.document.is_object()) << report.run.out << report.run.err;
    collectKeys(report.document, printed);
    hex = hex || report.run.out.find("Hex\"") != std::string::npos;
    if (report.document.contains("directory") && report.document["directory"].is_string()) {
      testing::removeTree(report.document["directory"].get<std::string>());
    }
  }
  EXPECT_TRUE(hex);
  const std::string manual = readFile(testing::sourceDir() + "/man/hotfixcheck.1").value_or("");
  EXPECT_EQ(documentedFields(manual, ".Sh JSON OUTPUT", ".Sh TRACING", "\\(dq"), printed);
  const RunResult help = testing::runProgram({testing::binDir() + "/hotfixcheck", "--help"});
  EXPECT_EQ(documentedFields(help.out, "JSON documents", "Manual:", "\""), printed);
  const std::string guide = readFile(testing::sourceDir() + "/docs/fleet-guide.md").value_or("");
  EXPECT_EQ(documentedFields(guide, "| command | fields |", "In rehearse,", "`"), printed);
}

TEST_F(HotfixCheck, LintFindsEachKindOfFaultAndNothingInTheSamples) {
  const auto dropLine = [](const std::string& file, const std::string& holding) {
    std::istringstream in(readFile(file).value_or(""));
    std::string out;
    for (std::string line; std::getline(in, line);) {
      if (line.find(holding) == std::string::npos) out += line + "\n";
    }
    writeFile(file, out);
  };
  struct Case {
    const char* name;
    std::vector<std::string> options;
    std::function<void(const Package&)> breakIt;
    const char* code;  // nullptr: no finding at all
    const char* dir = "package";
    const char* severity = "error";
    int memoryKiB = 0;
    const char* message = nullptr;  // a text of the finding's message
  };
  const auto replaceIn = [](const std::string& file, const std::string& from,
                            const std::string& to) {
    std::string text = readFile(file).value_or("");
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + 1)) {
      text.replace(at, from.size(), to);
    }
    writeFile(file, text);
  };
  const auto setKey = [](const Package& p, const char* key, const os::PlistValue& value) {
    os::PlistValue settings = *os::readPlistFile(p.settings());
    settings.set(key, value);
    os::writePlistFile(p.settings(), settings);
  };
  const std::vector<Case> cases = {
      {"sample", {}, nullptr, nullptr},
      {"sample without locations", {"--no-url"}, nullptr, nullptr},
      {"sample for several instances",
       {"--allow-multi-instance", "--feature", "a.b:1"},
       nullptr,
       nullptr},
      {"settings that are no property list",
       {},
       [](const Package& p) { writeFile(p.settings(), "not a plist"); },
       "settings-unreadable"},
      {"a version that is a number",
       {},
       [&](const Package& p) { setKey(p, "version", os::PlistValue(int64_t{2})); },
       "settings-type"},
      {"a misspelled key",
       {},
       [&](const Package& p) { setKey(p, "allowMultiinstance", os::PlistValue(true)); },
       "unknown-setting",
       "package",
       "warning"},
      {"unsupported characters",
       {},
       nullptr,
       "unsupported-characters",
       "hot#fix",
       "error",
       0,
       "holds '#', a character"},
      {"a version that orders otherwise as text",
       {"--version", "1.10"},
       nullptr,
       "version-order",
       "package",
       "warning",
       0,
       "1.10 orders before 1.9 although its number is higher"},
      {"no install manifest", {"--without", "install-manifest"}, nullptr, "missing-file"},
      {"a manifest without its install level",
       {},
       [&](const Package& p) { dropLine(p.deploy("install.hotfix.xml"), "install>"); },
       "malformed-manifest"},
      {"a feature file missing from the package",
       {"--unfetchable", "com.zantec.orrery.fix.ui"},
       nullptr,
       "unresolved-location"},
      {"an install manifest that is a directory",
       {"--without", "install-manifest"},
       [](const Package& p) { std::filesystem::create_directory(p.deploy("install.hotfix.xml")); },
       "unreadable-file"},
      {"an install manifest that is a FIFO",
       {"--without", "install-manifest"},
       [](const Package& p) { ::mkfifo(p.deploy("install.hotfix.xml").c_str(), 0644); },
       "unreadable-file"},
      {"a removal manifest that is a directory",
       {"--without", "uninstall-manifest"},
       [](const Package& p) {
         std::filesystem::create_directory(p.deploy("uninstall.hotfix.xml"));
       },
       "unreadable-file",
       "package",
       "warning"},
      {"a feature file in a jar: location",
       {},
       [&](const Package& p) {
         replaceIn(p.deploy("install.hotfix.xml"), "url=\"${", "url=\"jar:${");
         replaceIn(p.deploy("install.hotfix.xml"), ".jar\"", ".jar!/\"");
       },
       nullptr},
      {"a manifest of 3 GiB under a memory limit of 1 GiB",
       {},
       [](const Package& p) {
         std::filesystem::resize_file(p.deploy("install.hotfix.xml"), uintmax_t{3} << 30);
       },
       "file-too-large",
       "package",
       "error",
       1 << 20},
      {"extras that lead out of the package",
       {},
       [](const Package& p) {
         std::filesystem::remove_all(p.deploy("extras"));
         std::filesystem::create_directory_symlink("/usr/share", p.deploy("extras"));
       },
       "link-out-of-package"},
      {"a FIFO in the package",
       {},
       [](const Package& p) { ::mkfifo(p.deploy("extras/pipe").c_str(), 0644); },
       "special-file",
       "package",
       "warning"},
      {"a \\u escape that Java refuses",
       {},
       [](const Package& p) {
         writeFile(p.deploy("plugin_customization.ini"),
                   "# \\uzzzz in a comment\na=\\u00e9\\u12\n");
       },
       "customization-escape",
       "package",
       "warning"},
      {"a removal that misses a feature",
       {},
       [&](const Package& p) {
         dropLine(p.deploy("uninstall.hotfix.xml"), "com.zantec.orrery.fix.ui");
       },
       "removal-mismatch"},
  };
  int index = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Package package(scratch_ / ("lint-" + std::to_string(index++)) + "/" + c.dir, c.options);
    if (c.breakIt) c.breakIt(package);

    const Report lint = hotfixcheck({"lint", package.path}, std::nullopt, c.memoryKiB);
    if (!lint.document.is_object()) {
      ADD_FAILURE() << "status " << lint.run.exitStatus << ": " << lint.run.err;
      continue;
    }

    std::set<std::string> codes;
    for (const json& finding : lint.document["findings"]) {
      codes.insert(finding["code"].get<std::string>());
      EXPECT_EQ(finding["severity"], c.severity) << finding.dump();
    }
    EXPECT_EQ(codes, c.code ? std::set<std::string>{c.code} : std::set<std::string>{})
        << lint.run.out << lint.run.err;
    if (c.message != nullptr) {
      EXPECT_NE(lint.document["findings"].dump().find(c.message), std::string::npos);
    }
    EXPECT_EQ(lint.run.exitStatus, c.code && std::string(c.severity) == "error" ? 1 : 0);
  }
}

TEST_F(HotfixCheck, RehearsalPassesSamplesAndNamesWhatABrokenPackageGetsWrong) {
  struct Case {
    const char* name;
    std::vector<std::string> packageOptions;
    bool dropRemovalOfUi;
    const char* user;
    const char* problem;  // nullptr: passes
    bool productOfRoot = false;
    const char* rootOnly = nullptr;  // a file of the product only root may read
    const char* reported = nullptr;  // a text of the report
    bool running = false;
  };
  const std::vector<Case> cases = {
      {"sample", {}, false, "alice", nullptr},
      {"sample through the update site", {"--no-url"}, false, "alice", nullptr},
      {"as an ordinary user outside the group admin", {}, false, "bob", nullptr},
      {"a removal manifest that misses a feature",
       {},
       true,
       "alice",
       "the removal manifest does not take out feature com.zantec.orrery.fix.ui 1.0.2"},
      {"a feature file that is not in the package",
       {"--unfetchable", "com.zantec.orrery.fix.ui"},
       false,
       "alice",
       "feature com.zantec.orrery.fix.ui 1.0.2 of the install manifest"},
      {"an ordinary user on a product of root's with a keystore only root may read",
       {},
       false,
       "bob",
       nullptr,
       true,
       "deploy/.keystore",
       "Contents/MacOS/rcp/deploy/.keystore\",\"reason\":\"Permission denied"},
      {"an ordinary user who may not read the install manifest",
       {},
       false,
       "bob",
       "deploy/install.xml could not be copied (Permission denied), and the install reads it",
       true,
       "deploy/install.xml"},
      {"a product that is running", {}, false, "root", nullptr, false, nullptr, "(code 6)", true},
  };
  int index = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string dir = scratch_ / ("rehearse-" + std::to_string(index++));
    const Product product(dir + "/Applications");
    const Package package(dir + "/package", c.packageOptions);
    if (c.dropRemovalOfUi) {
      std::istringstream in(readFile(package.deploy("uninstall.hotfix.xml")).value_or(""));
      std::string out;
      for (std::string line; std::getline(in, line);) {
        if (line.find("fix.ui") == std::string::npos) out += line + "\n";
      }
      writeFile(package.deploy("uninstall.hotfix.xml"), out);
    }
    const std::string owner = c.productOfRoot ? std::string(c.user) + " '" + dir + "/package'"
                                              : std::string(c.user) + " '" + dir + "'";
    ASSERT_EQ(std::system(("chown -R " + owner).c_str()), 0);
    if (c.rootOnly != nullptr) {
      ASSERT_EQ(::chmod(product.rcp(c.rootOnly).c_str(), 0600), 0);
    }
    pid_t running = -1;
    if (c.running) {
      const std::string executable = product.platformHome + "/Orrery";
      writeFile(executable, readFile("/bin/sleep").value_or(""), 0755);
      char* const argv[] = {const_cast<char*>(executable.c_str()), const_cast<char*>("120"),
                            nullptr};
      ::posix_spawn(&running, executable.c_str(), nullptr, nullptr, argv, environ);
    }
    const auto before = snapshot(dir + "/Applications");

    const Report rehearsal =
        hotfixcheck({"rehearse", package.path, dir + "/Applications"}, std::string(c.user));

    if (running > 0) {
      ::kill(running, SIGKILL);
      ::waitpid(running, nullptr, 0);
    }
    EXPECT_EQ(snapshot(dir + "/Applications"), before);
    const json& r = rehearsal.document;
    ASSERT_TRUE(r.is_object()) << rehearsal.run.out << rehearsal.run.err;
    EXPECT_EQ(rehearsal.run.exitStatus, c.problem ? 1 : 0) << r.dump(2);
    if (c.problem == nullptr) {
      EXPECT_EQ(r["problems"], json::array());
      EXPECT_EQ(r["roundTrip"], true);
    } else {
      const std::string problems = r["problems"].dump();
      EXPECT_NE(problems.find(c.problem), std::string::npos) << problems;
    }
    // A run that did not happen has no outcome.
    const bool installs = c.rootOnly == nullptr || c.reported != nullptr;
    EXPECT_EQ(r["installed"], installs ? json(true) : json(nullptr)) << r.dump(2);
    if (!installs) {
      EXPECT_EQ(r["roundTrip"], nullptr);
    }
    if (c.reported != nullptr) {
      EXPECT_NE(r.dump().find(c.reported), std::string::npos) << r.dump(2) << rehearsal.run.err;
    }
    if (std::string(c.user) == "bob" && installs) {
      EXPECT_NE(r["unrepaired"].dump().find("group admin"), std::string::npos) << r.dump(2);
    }
    EXPECT_EQ(product.launcherRuns(), Runs{}) << "the product's own launcher never ran";
  }
}

TEST_F(HotfixCheck, RehearsalNeverReachesTheProductThroughALink) {
  // Each directory on the way to what the install changes, moved elsewhere and linked back.
  for (const std::string moved :
       {"Orrery.app", "Orrery.app/Contents/MacOS", "Orrery.app/Contents/MacOS/rcp",
        "Orrery.app/Contents/MacOS/rcp/deploy"}) {
    SCOPED_TRACE(moved);
    clearMachine();
    const std::string dir = scratch_ / ("link-" + std::to_string(moved.size()));
    const Product product(dir + "/Applications", {"--hotfix-version", "1.0.1"});
    const Package package(dir + "/package");
    const std::string linked = dir + "/Applications/" + moved;
    std::filesystem::rename(linked, dir + "/elsewhere");
    std::filesystem::create_directory_symlink(dir + "/elsewhere", linked);
    const auto before = machine(dir);

    const Report rehearsal = hotfixcheck({"rehearse", package.path, dir + "/Applications"});

    EXPECT_EQ(machine(dir), before);
    EXPECT_EQ(rehearsal.run.exitStatus, 0) << rehearsal.document.dump(2) << rehearsal.run.err;
  }
}

TEST_F(HotfixCheck, InterruptedRehearsalEndsItsLauncherAndRemovesItsCopy) {
  const Product product(scratch_ / "Applications");
  const Package package(scratch_ / "package");
  const auto copies = [] {
    std::vector<std::string> found;
    for (const auto& entry : std::filesystem::directory_iterator("/tmp")) {
      if (entry.path().filename().string().starts_with("hotfixcheck.")) {
        found.push_back(entry.path().string());
      }
    }
    return found;
  };
  // The launcher copies at work: processes whose program lies in a rehearsal's copy.
  const auto launchers = [] {
    std::vector<pid_t> found;
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
      std::error_code error;
      const std::string exe = std::filesystem::read_symlink(entry.path() / "exe", error);
      if (!error && exe.starts_with("/tmp/hotfixcheck.")) {
        found.push_back(std::stoi(entry.path().filename().string()));
      }
    }
    return found;
  };
  for (const int signal : {SIGTERM, SIGINT, SIGHUP, SIGKILL}) {
    SCOPED_TRACE(signal);
    product.setFault("sleep=60\n");
    const std::string out = scratch_ / "out";
    const std::string err = scratch_ / "err";
    const std::string command = "exec " + testing::binDir() + "/hotfixcheck rehearse '" +
                                package.path + "' '" + scratch_ / "Applications" + "' >" + out +
                                " 2>" + err;
    pid_t rehearsal = -1;
    char* const argv[] = {const_cast<char*>("/bin/sh"), const_cast<char*>("-c"),
                          const_cast<char*>(command.c_str()), nullptr};
    ASSERT_EQ(::posix_spawn(&rehearsal, "/bin/sh", nullptr, nullptr, argv, environ), 0);
    for (int wait = 0; wait < 500 && launchers().empty(); ++wait) ::usleep(20000);
    ASSERT_FALSE(launchers().empty()) << readFile(err).value_or("");
    ::kill(rehearsal, signal);
    int status = 0;
    ::waitpid(rehearsal, &status, 0);
    if (signal == SIGKILL) {
      // Nothing could clean up: the next rehearsal removes the copy.
      EXPECT_EQ(copies().size(), 1u);
      for (pid_t launcher : launchers()) ::kill(launcher, SIGKILL);
      // A launcher that is not gone yet still holds the copy, which is then not stale.
      for (int wait = 0; wait < 100 && !launchers().empty(); ++wait) ::usleep(20000);
      product.setFault("");
      const std::vector<std::string> stale = copies();
      const Report next = hotfixcheck({"rehearse", package.path, scratch_ / "Applications"});
      EXPECT_EQ(next.run.exitStatus, 0) << next.run.out;
      EXPECT_NE(next.document["notes"].dump().find(stale.at(0)), std::string::npos) << next.run.out;
    } else {
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 128 + signal) << status;
      EXPECT_NE(readFile(err).value_or("").find("interrupted by"), std::string::npos);
      for (int wait = 0; wait < 100 && !launchers().empty(); ++wait) ::usleep(20000);
      EXPECT_EQ(launchers(), std::vector<pid_t>{});
    }
    EXPECT_EQ(copies(), std::vector<std::string>{});
  }
}

}  // namespace
}  // namespace rcpinstall::apply_scenario
