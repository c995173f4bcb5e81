// The simulated platform launcher: command lines, provisioning runs and their faults.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace rcpinstall::rcpsim {

// What a run leaves and reads, relative to the rcp home (the launcher's own directory).
inline constexpr const char* IGNITOR_CALLS = "ignitor.calls";
inline constexpr const char* IGNITOR_FAULT = "ignitor.fault";
inline constexpr const char* IGNITOR_FDS = "ignitor.fds";
inline constexpr const char* PROVISIONING_LOG_DIR = "logs";
inline constexpr const char* PROVISIONING_LOG = "provisioning.log";

// The command lines the launcher takes: the install "update" (13 arguments), the removal
// "update" (11) and the removal "cleanup" (7), argument for argument.
struct LauncherRun {
  enum class Kind { InstallUpdate, RemovalUpdate, Cleanup };
  Kind kind = Kind::RemovalUpdate;
  std::string locale;                     // after "-nl" (updates)
  std::optional<std::string> updateSite;  // the directory of -DprovUpdateSiteListOverride
};
// The run for the arguments (argv without argv[0]); none for any other command line.
std::optional<LauncherRun> parseLauncherArguments(const std::vector<std::string>& arguments);

// A file: location as a path: "file:/a" and "file:///a" give "/a", "file:a" gives "a";
// none for anything that is not a file: location.
std::optional<std::string> pathOfFileLocation(const std::string& location);

// The fault file of the rcp home, read once per run.
struct Faults {
  std::optional<std::string> rc;  // written as "rc=<text>" exactly
  bool noResult = false;          // result=none
  bool crash = false;             // crash=true: abort before the result
  bool garbage = false;           // garbage=true: bytes that are no properties file
  unsigned sleepSeconds = 0;      // sleep=<seconds> before the end
  bool listDescriptors = false;   // fds=true: append the open descriptors to ignitor.fds
  bool applyNothing = false;      // apply=none: the run changes nothing before it ends
  // run=<n>: the faults hold for the n-th run recorded in ignitor.calls only (from 1).
  std::optional<unsigned long> run;
};
Faults readFaults(const std::string& rcphome);

// Outcome of applying an update manifest to an install manifest.
struct UpdateOutcome {
  int rc = 0;  // 0 all applied, 2 some features not fetched, 1 no usable manifest
  std::vector<std::string> installed;  // "id version" of every feature put in place
  std::vector<std::string> removed;    // "id version" of every feature taken out
  std::vector<std::string> missing;    // "id version" of every feature that was not fetched
  std::string problem;                 // why rc is 1
};

// Applies <rcp home>/deploy/install.update.xml to deploy/install.xml (rewritten atomically)
// and fetches feature files into eclipse/features: install features and features without
// "action" or with "install" are added or replaced, those with "uninstall" removed.
UpdateOutcome applyUpdate(const std::string& rcphome, const std::optional<std::string>& updateSite);

// The status message of a run, with "|" and "|-" as line markers.
std::string statusMessage(const LauncherRun& run, const UpdateOutcome& outcome);

// The launcher: records the call, checks the command line (exit status 2 for any other),
// runs the operation, appends to provisioning.log, writes .provisioning_rc in the platform
// home.
int IgnitorMain(int argc, char** argv);

// The runs recorded in an ignitor.calls file: each run is its argument vector, argv[0]
// first; in the file every argument is one line and an empty line ends the run.
std::vector<std::vector<std::string>> readIgnitorCalls(const std::string& callsFile);

}  // namespace rcpinstall::rcpsim
