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

#include "tests/patchapply_scenario.h"

namespace rcpinstall::apply_scenario {
namespace {

using nlohmann::json;

struct Report {
  RunResult run;
  json document;
};

Report hotfixcheck(const std::vector<std::string>& arguments,
                   const std::optional<std::string>& user = std::nullopt) {
  std::vector<std::string> argv = {testing::binDir() + "/hotfixcheck", "--json"};
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
    const std::string when = step["when"], action = step["action"];
    const bool happens = when == "always" || (staged && when.find("staged") != std::string::npos) ||
                         (staged && provisioned && when.find("removal's") != std::string::npos) ||
                         (provisioned && when.find("install's") != std::string::npos);
    if (!happens || action == "run" || action == "repair" || action == "none") continue;
    std::string path = step["path"];
    if (step["pathOnOutcome"].is_object()) {
      path = step["pathOnOutcome"][staged ? "the removal staged its manifest"
                                          : "the removal did not stage its manifest"];
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
    bool relative = false;  // both run in the case's directory
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
       kHotfixFoundHigherVersion, 0},
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
  }
  std::filesystem::current_path(home);
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
       [](const Package& p) {
         os::PlistValue settings = *os::readPlistFile(p.settings());
         settings.set("version", os::PlistValue(int64_t{2}));
         os::writePlistFile(p.settings(), settings);
       },
       "settings-type"},
      {"unsupported characters", {}, nullptr, "unsupported-characters", "hot#fix"},
      {"no install manifest", {"--without", "install-manifest"}, nullptr, "missing-file"},
      {"a manifest without its install level",
       {},
       [&](const Package& p) { dropLine(p.deploy("install.hotfix.xml"), "install>"); },
       "malformed-manifest"},
      {"a feature file missing from the package",
       {"--unfetchable", "com.zantec.orrery.fix.ui"},
       nullptr,
       "unresolved-location"},
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

    const Report lint = hotfixcheck({"lint", package.path});

    std::set<std::string> codes;
    for (const json& finding : lint.document["findings"]) {
      codes.insert(finding["code"].get<std::string>());
      EXPECT_EQ(finding["severity"], "error") << finding.dump();
    }
    EXPECT_EQ(codes, c.code ? std::set<std::string>{c.code} : std::set<std::string>{})
        << lint.run.out;
    EXPECT_EQ(lint.run.exitStatus, c.code ? 1 : 0);
  }
}

TEST_F(HotfixCheck, RehearsalPassesSamplesAndNamesWhatABrokenPackageGetsWrong) {
  struct Case {
    const char* name;
    std::vector<std::string> packageOptions;
    bool dropRemovalOfUi;
    const char* user;
    const char* problem;  // nullptr: passes
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
    ASSERT_EQ(std::system(("chown -R " + std::string(c.user) + " '" + dir + "'").c_str()), 0);

    const Report rehearsal =
        hotfixcheck({"rehearse", package.path, dir + "/Applications"}, std::string(c.user));

    const json& r = rehearsal.document;
    ASSERT_TRUE(r.is_object()) << rehearsal.run.out << rehearsal.run.err;
    EXPECT_EQ(rehearsal.run.exitStatus, c.problem ? 1 : 0) << r.dump(2);
    EXPECT_EQ(r["installed"], true);
    if (c.problem == nullptr) {
      EXPECT_EQ(r["problems"], json::array());
      EXPECT_EQ(r["roundTrip"], true);
    } else {
      const std::string problems = r["problems"].dump();
      EXPECT_NE(problems.find(c.problem), std::string::npos) << problems;
    }
    if (std::string(c.user) == "bob") {
      EXPECT_NE(r["unrepaired"].dump().find("group admin"), std::string::npos) << r.dump(2);
    }
    EXPECT_EQ(product.launcherRuns(), Runs{}) << "the product's own launcher never ran";
  }
}

}  // namespace
}  // namespace rcpinstall::apply_scenario
