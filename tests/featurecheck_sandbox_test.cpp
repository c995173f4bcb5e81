// End-to-end scenarios of the feature check tool featurecheck, run inside the sandbox: the
// built program on manifests under /Applications, with product registries under /Library.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "os/plist_value.h"
#include "tests/support/testing.h"

namespace rcpinstall {
namespace {

using testing::readFile;
using testing::removeTree;
using testing::runProgram;
using testing::RunResult;
using testing::writeFile;

constexpr const char* DEFAULT_HOME = "/Applications/Orrery.app/Contents/MacOS";
constexpr const char* REGISTRY_ROOT = "/Library/Application Support/Fernhollow";
constexpr const char* TRACE_LOG = "/tmp/install_trace.log";
constexpr const char* ROOT_TRACE_PREFERENCES =
    "/root/Library/Preferences/com.zantec.rcp.install.mac.plist";

constexpr const char* BASE = "com.zantec.orrery.base";
constexpr const char* CORE = "com.zantec.orrery.core";

// The instance's manifest: the base install feature 3.0.1 requires the core feature, once
// uninstalled at 3.0.0 and installed again at 3.0.2; a second install feature carries no
// version.
constexpr const char* kManifest = R"(<?xml version="1.0" encoding="UTF-8"?>
<manifest>
  <domain-object name="rcp">
    <object-data>
      <install>
        <installfeature id="com.zantec.orrery.base" version="3.0.1">
          <requirements>
            <feature id="com.zantec.orrery.core" version="3.0.0" action="uninstall"/>
            <feature id="com.zantec.orrery.core" version="3.0.2" url="file:/x/core.jar"/>
          </requirements>
        </installfeature>
        <installfeature id="com.zantec.orrery.unversioned"/>
      </install>
    </object-data>
  </domain-object>
</manifest>
)";

void makeHome(const std::string& home, const std::string& manifest = kManifest) {
  std::filesystem::create_directories(home + "/rcp/deploy");
  ASSERT_TRUE(writeFile(home + "/rcp/deploy/install.xml", manifest));
}

void writeRegistry(const std::string& product, const std::string& oldInstallLocation) {
  const std::string directory = std::string(REGISTRY_ROOT) + "/" + product;
  std::filesystem::create_directories(directory);
  os::PlistValue registry;
  registry.set("pathToProduct", "/Applications/" + product + ".app");
  registry.set("oldInstallLocation", oldInstallLocation);
  ASSERT_TRUE(os::writePlistFile(directory + "/framework.plist", registry));
}

void setRootTracing(bool on) {
  if (!on) {
    ::unlink(ROOT_TRACE_PREFERENCES);
    return;
  }
  std::filesystem::create_directories("/root/Library/Preferences");
  os::PlistValue domain;
  domain.set("com.zantec.rcp.install.mac.traceEnable", true);
  ASSERT_TRUE(os::writePlistFile(ROOT_TRACE_PREFERENCES, domain));
}

class FeatureCheckScenario : public ::testing::Test {
 protected:
  void SetUp() override {
    RCP_REQUIRE_SANDBOX();
    RCP_REQUIRE_ROOT();
    program_ = testing::binDir() + "/featurecheck";
    ASSERT_EQ(::access(program_.c_str(), X_OK), 0) << program_ << " is not built";
    clean();
  }
  void TearDown() override {
    if (!program_.empty()) clean();
  }
  static void clean() {
    for (const char* path : {"/Applications/Orrery.app", "/Applications/Tellur.app", REGISTRY_ROOT,
                             TRACE_LOG, ROOT_TRACE_PREFERENCES}) {
      removeTree(path);
    }
    removeTree("/tmp/elsewhere");
  }

  // Runs the tool as root (or as the user) and checks what every run must show: exit status
  // 0, and on standard error only the unknown options named. Answers standard output.
  std::string check(const std::vector<std::string>& arguments,
                    const std::optional<std::string>& user = std::nullopt,
                    const std::string& err = "") {
    std::vector<std::string> argv = {program_};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    const RunResult run = runProgram(argv, {}, user, std::nullopt, 60);
    EXPECT_TRUE(run.exited) << "signal " << run.termSignal;
    EXPECT_EQ(run.exitStatus, 0);
    EXPECT_EQ(run.err, err);
    return run.out;
  }

  std::string program_;
};

TEST_F(FeatureCheckScenario, AnswersFromTheGivenPlatformHome) {
  makeHome(DEFAULT_HOME);
  const std::string home = DEFAULT_HOME;
  struct Row {
    const char* what;
    std::vector<std::string> arguments;
    std::string expected;
    std::string err = "";  // the unknown options named on standard error
  };
  const Row rows[] = {
      {"install feature", {"-rcphome", home, "-installfeatureID", BASE}, "3.0.1"},
      {"options in any order", {"-installfeatureID", BASE, "-rcphome", home}, "3.0.1"},
      {"unknown install feature", {"-rcphome", home, "-installfeatureID", "com.x"}, "-1"},
      {"feature: the installed one", {"-rcphome", home, "-featureID", CORE}, "3.0.2"},
      {"both identifiers: only the feature counts",
       {"-rcphome", home, "-installfeatureID", BASE, "-featureID", BASE},
       "-1"},
      {"both identifiers, feature found",
       {"-rcphome", home, "-installfeatureID", "com.x", "-featureID", CORE},
       "3.0.2"},
      {"trailing slash", {"-rcphome", home + "/", "-installfeatureID", BASE}, "3.0.1"},
      {"repeated option: the first wins",
       {"-rcphome", home, "-featureID", CORE, "-featureID", "com.x"},
       "3.0.2"},
      {"repeated option, other order",
       {"-rcphome", home, "-featureID", "com.x", "-featureID", CORE},
       "-1"},
      {"an option as a value", {"-rcphome", home, "-featureID", "-installfeatureID", BASE}, "-1"},
      {"other arguments ignored, options named",
       {"stray", "-rcphome", home, "-v", "-installfeatureID", BASE, "tail", "-"},
       "3.0.1",
       "featurecheck: unknown option -v (ignored)\n"},
      {"a misspelled option answers as before",
       {"-rcphome", home, "-installFeatureID", BASE, "--featureID", CORE},
       "-1",
       "featurecheck: unknown option -installFeatureID (ignored)\n"
       "featurecheck: unknown option --featureID (ignored)\n"},
      {"no identifier", {"-rcphome", home}, "-1"},
      {"no version recorded",
       {"-rcphome", home, "-installfeatureID", "com.zantec.orrery.unversioned"},
       ""},
      {"home that is no directory", {"-rcphome", "/no/such", "-installfeatureID", BASE}, "-1"},
      {"empty home", {"-rcphome", "", "-installfeatureID", BASE}, "-1"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    EXPECT_EQ(check(row.arguments, std::nullopt, row.err), row.expected);
  }
  // Not a root-only tool: an ordinary user gets the same answer.
  EXPECT_EQ(check({"-rcphome", home, "-installfeatureID", BASE}, "alice"), "3.0.1");
}

TEST_F(FeatureCheckScenario, FindsThePlatformWithoutRcpHome) {
  // The default application path, for Orrery and for a named product.
  makeHome(DEFAULT_HOME);
  EXPECT_EQ(check({"-installfeatureID", BASE}), "3.0.1");
  EXPECT_EQ(check({"-productname", "Tellur", "-installfeatureID", BASE}), "-1");
  makeHome("/Applications/Tellur.app/Contents/MacOS");
  EXPECT_EQ(check({"-productname", "Tellur", "-featureID", CORE}), "3.0.2");

  // "-rcphome" in last position counts as not given: the registry names the platform, and it
  // wins over the default path.
  const std::string elsewhere = "/tmp/elsewhere/Orrery.app/Contents/MacOS";
  std::string moved = kManifest;
  moved.replace(moved.find("3.0.1"), 5, "4.0.0");
  makeHome(elsewhere, moved);
  writeRegistry("Tellur", elsewhere);
  EXPECT_EQ(check({"-productname", "Tellur", "-installfeatureID", BASE, "-rcphome"}), "4.0.0");
  writeRegistry("Orrery", elsewhere);
  EXPECT_EQ(check({"-installfeatureID", BASE, "-rcphome"}), "4.0.0");

  // A registry whose location holds no platform falls back to the default path.
  removeTree(elsewhere + "/rcp");
  EXPECT_EQ(check({"-installfeatureID", BASE}), "3.0.1");

  // Nothing anywhere.
  removeTree("/Applications/Orrery.app");
  EXPECT_EQ(check({"-installfeatureID", BASE}), "-1");
}

TEST_F(FeatureCheckScenario, BrokenManifestsAnswerNotFoundAndLogTheMissingLevel) {
  const std::string home = DEFAULT_HOME;
  const std::vector<std::string> query = {"-rcphome", home, "-installfeatureID", BASE};
  setRootTracing(true);

  // No manifest: the trace log is started afresh and receives nothing.
  ASSERT_TRUE(writeFile(TRACE_LOG, "an earlier run\n"));
  EXPECT_EQ(check(query), "-1");
  EXPECT_EQ(readFile(TRACE_LOG), "");

  makeHome(home, "this is not XML <");
  EXPECT_EQ(check(query), "-1");
  EXPECT_EQ(readFile(TRACE_LOG), "");

  makeHome(home,
           "<manifest><domain-object><object-data><uninstall/></object-data></domain-object>"
           "</manifest>");
  EXPECT_EQ(check(query), "-1");
  const std::string log = readFile(TRACE_LOG).value_or("");
  EXPECT_NE(log.find(" featurecheck["), std::string::npos) << log;
  EXPECT_TRUE(log.ends_with("] <Error>: Not able to get install element\n")) << log;
  EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 1) << log;

  // With tracing off the log file is left as the last traced run wrote it.
  setRootTracing(false);
  makeHome(home);
  EXPECT_EQ(check(query), "3.0.1");
  EXPECT_EQ(readFile(TRACE_LOG), log);
}

TEST_F(FeatureCheckScenario, AnswersForASampleProduct) {
  const std::string rcpsim = testing::binDir() + "/rcpsim";
  if (::access(rcpsim.c_str(), X_OK) != 0) GTEST_SKIP() << "rcpsim is not built";
  const RunResult made =
      runProgram({rcpsim, "product", "/Applications", "--hotfix-version", "1.0.1"});
  ASSERT_EQ(made.exitStatus, 0) << made.out << made.err;
  EXPECT_EQ(check({"-installfeatureID", "com.zantec.orrery.hotfix"}), "1.0.1");
  EXPECT_EQ(check({"-featureID", "com.zantec.orrery.fix.core"}), "1.0.1");
  EXPECT_EQ(check({"-featureID", "com.zantec.orrery.fix.none"}), "-1");
}

}  // namespace
}  // namespace rcpinstall
