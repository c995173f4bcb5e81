// hotfixcheck: checks a hotfix package, plans and rehearses an install, reports an instance.
#pragma once

#include "os/root.h"

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "apply/patch_apply.h"
#include "foundation/register_file.h"
#include "instance/instance_service.h"

namespace rcpinstall::HotfixCheck {

// Version of the JSON documents; raised when a change would break a reader.
inline constexpr int FORMAT_VERSION = 1;

// Exit statuses beside the ones each command documents: a usage error, and a failure of the
// tool itself (a file it must read and cannot, a report it cannot write).
inline constexpr int EXIT_USAGE = 2;
inline constexpr int EXIT_TOOL_FAILURE = 2;

// No file is read whole above this size: a real package or instance file is far smaller, and
// a larger one is refused rather than read into memory.
inline constexpr size_t MAX_FILE_SIZE = size_t{64} << 20;
inline constexpr const char* MAX_FILE_SIZE_TEXT = "64 MiB";

// The path made absolute and its "." and ".." taken out by the text alone (links not resolved),
// for telling whether one path of a package lies within another.
std::string lexicalPath(const std::filesystem::path& path);

// A file read whole within MAX_FILE_SIZE, or why it was not.
struct FileText {
  std::optional<std::string> text;
  std::string reason;
  bool tooLarge = false;
};
FileText readCapped(const os::Location& path);
// "<path> is larger than 64 MiB" for the first existing file of the list above the size cap
// (links followed), for readers that take a path and would read the file whole.
std::optional<std::string> firstOversized(const std::vector<os::Location>& paths);

// One feature of a manifest: an install feature or a feature its requirements hold.
struct Feature {
  std::string id;
  std::string version;
  std::optional<std::string> action;  // as written; none when the element has none
  std::optional<std::string> url;

  bool operator==(const Feature&) const = default;
};

struct InstallFeature {
  Feature feature;
  std::vector<Feature> requirements;
};

// A manifest as the tools walk it: root, domain-object, object-data, install, installfeature.
struct ManifestContents {
  bool readable = false;
  std::string reason;  // why it is not readable
  bool tooLarge = false;
  bool wellFormed = false;
  // The first level the walk does not find ("domain-object", ..., "installfeature"); none
  // when every level is there.
  std::optional<std::string> missingLevel;
  std::vector<InstallFeature> installFeatures;
};
ManifestContents readManifest(const os::Location& path);

// Whether a feature counts as installed by a manifest (no action, or exactly "install").
bool installs(const Feature& feature);

// --- lint --------------------------------------------------------------------------------

struct Finding {
  std::string severity;  // "error" or "warning"
  std::string code;      // settings-unreadable, settings-type, unknown-setting,
                         // unsupported-characters, missing-file, unreadable-file,
                         // file-too-large, malformed-manifest, unresolved-location,
                         // removal-mismatch, link-out-of-package, special-file,
                         // customization-escape, version-order
  std::string path;
  std::string message;
};

struct LintReport {
  std::string package;
  std::vector<Finding> findings;
  // Keys the plug-in customization would set in the product, as "key=value".
  std::vector<std::string> customizationKeys;

  bool hasErrors() const;
};
LintReport lint(const std::string& package);

// The order of two versions read as numbers: runs of digits compared by their value, the text
// between them as text; -1, 0 or 1.
int numericOrder(const std::string& a, const std::string& b);
// A warning for a version that holds a number of more than one digit: against a version with
// a number of another width at that place, its text order (the one patchapply uses) is not
// its numbers' order. The message names such a version. None for other versions.
std::optional<Finding> versionOrderFinding(const std::string& version, const std::string& path);
// A warning when the launcher's properties below the rcp home give rcp.data as a relative
// path; none otherwise (also when they cannot be read).
std::optional<std::string> relativeRcpDataWarning(const std::string& rcpHome);

// --- plan --------------------------------------------------------------------------------

// One thing the install would do to a file, in order.
// One change of a workflow step, as plan prints it.
struct PlannedStep {
  std::string action;  // stage, copy, back up, rewrite, merge, replace, delete, write, repair
  std::string path;
  std::optional<std::string> source;
  std::string note;
  std::string step;  // the workflow step it belongs to
  std::string when;  // "always", or the earlier step's success it waits on
  StepKind kind;
  StepCondition condition;
  // A path that an earlier step's outcome decides: the path on each outcome.
  std::vector<std::pair<std::string, std::string>> pathOnOutcome;
};

struct Plan {
  InstallDecision decision;
  int code = kNoError;  // the decision's code, or 4 from the install workflow
  std::vector<std::string> details;
  // The launcher runs made when every provisioning run succeeds, each with its condition.
  std::vector<LauncherRun> launcherRuns;
  // The launcher the runs would start is not there: patchapply would make no provisioning run.
  bool launcherMissing = false;
  std::vector<PlannedStep> steps;
  // What the run's outcome would be, provisioning succeeding: 0 or 1.
  int exitStatus = 0;
  // What the install would get wrong without refusing it (addPlanWarnings).
  std::vector<std::string> warnings;
};
Plan plan(const std::string& package, const std::string& destination,
          const std::string& registerDirectory = REGISTER_DIRECTORY);
// Fills the plan's warnings: a package version whose text order against the installed
// hotfix's is not its numbers' order, and a relative rcp.data.
void addPlanWarnings(Plan& plan);
// The first file plan would read whole that is larger than MAX_FILE_SIZE, as firstOversized.
std::optional<std::string> oversizedPlanInput(const std::string& package,
                                              const std::string& destination,
                                              const std::string& registerDirectory);

// --- the package as a tree ----------------------------------------------------------------

// The directory that holds everything a package ships: the enclosing ".mpkg" bundle, else the
// package directory's parent (where the settings' default paths lead).
std::string distributionOf(const std::string& package);
// Where the path leads when it, or a directory on its way below the distribution, is a
// symbolic link to a place outside the distribution; none otherwise.
std::optional<std::string> linkOutOf(const std::string& path, const std::string& distribution);
// Below a directory: the symbolic links that lead out of the distribution (with their target)
// and the FIFOs, devices and sockets.
struct UnusualEntry {
  std::string path;
  std::optional<std::string> linkTarget;  // for a link out of the distribution
  std::string what;                       // "a FIFO", ...
};
std::vector<UnusualEntry> unusualEntries(const std::string& directory,
                                         const std::string& distribution);
// Why the install could not read a file it reads whole (a directory, a FIFO, no permission);
// none when it can. A permission refusal counts only for root, whose
// refusal the install would meet too.
std::optional<std::string> unreadableForInstall(const std::string& path);
// Adds to each step whose source lies in the package and leads out of it through a link
// what the install really does there: it installs the link itself (extras, keystores) or
// reads what the link leads to.
void noteLinksOutOfPackage(const std::string& package, std::vector<PlannedStep>& steps);

// --- rehearse ----------------------------------------------------------------------------

struct RehearsalOptions {
  std::string ignitor;    // the simulated launcher to put in place of the copy's
  bool keep = false;      // keep the temporary directory
  bool progress = false;  // announce each step of the install and removal on standard error
  bool quiet = false;     // no lines on standard error that tell how the work gets on
  std::string registerDirectory = REGISTER_DIRECTORY;
};

// An entry of the product that the copy left out, and why.
struct SkippedFile {
  std::string path;  // relative to the application bundle
  std::string reason;
};

// What a rehearsal found. A run that did not happen has no outcome (none), never a failed one.
struct Rehearsal {
  std::optional<std::string> bundle;     // the product copied
  std::optional<std::string> directory;  // the temporary directory
  std::optional<bool> installed;
  std::optional<int> installCode;            // the code the install sent on its error channel
  std::optional<std::string> installResult;  // "rc" of the install's provisioning run
  std::optional<bool> removed;
  std::optional<bool> roundTrip;
  std::vector<Feature> installFeaturesAdded;
  std::vector<Feature> featuresAdded;
  std::vector<std::vector<std::string>> launcherRuns;
  std::vector<std::string> printed;        // what the workflows printed
  std::vector<SkippedFile> skipped;        // what the copy of the product left out
  std::vector<std::string> notes;          // what the rehearsal says beside its outcome
  std::vector<std::string> unrepaired;     // what the ownership repair could not do
  std::vector<std::string> problems;       // why the rehearsal failed
  std::optional<std::string> interrupted;  // the signal that ended it early

  bool passed() const {
    return installed.value_or(false) && removed.value_or(false) && roundTrip.value_or(false) &&
           problems.empty() && !interrupted;
  }
};
// Runs in a child process of its own (os/interruption.h): SIGINT, SIGTERM and SIGHUP end it,
// the launcher it started and its copy, and the report then names the signal. Copies that
// earlier rehearsals of this user left behind, and that no live process holds, are removed
// first.
Rehearsal rehearse(const std::string& package, const std::string& destination,
                   const RehearsalOptions& options);

// --- status ------------------------------------------------------------------------------

// What the last install left for the invoking user: the record on the error channel, and
// the marker file a failed install workflow leaves. Reported only for the product that the
// record beside the channel names.
struct LastInstall {
  std::optional<int> code;
  std::vector<std::string> details;
  bool markerFile = false;
  std::optional<long long> markerSince;  // seconds since 1970-01-01 UTC
  std::optional<long long> time;         // when the code was written, the same way
};

// The states an instance's hotfix can be in.
inline constexpr const char* INSTALL_STATE_INSTALLED = "installed";
inline constexpr const char* INSTALL_STATE_NONE = "none";
inline constexpr const char* INSTALL_STATE_HALF = "half-installed";

struct InstanceStatus {
  std::string platformHome;
  std::string rcpHome;
  bool recognised = false;
  std::optional<std::string> bundle;
  std::optional<std::string> applicationVersion;
  std::optional<std::string> version;
  std::optional<std::string> hotfixVersion;
  std::optional<std::string> basePluginVersion;
  std::vector<InstallFeature> installFeatures;
  std::vector<std::string> backups;  // install.<version>.xml in deploy
  // What installs replaced and added, kept in <rcp home>/hotfix-backups, oldest first.
  std::vector<InstanceService::InstallBackup> installBackups;
  std::vector<std::string> stagedManifests;       // install.update.xml, uninstall.*.xml in deploy
  std::optional<std::string> provisioningResult;  // "rc" of .provisioning_rc as written
  std::optional<std::string> finalStatus;
  std::optional<bool> running;  // none when no application bundle encloses the platform
  // Half-installed: an install or removal was cut off (its mark is in the rcp home), or
  // install.xml records the install feature of the staged removal manifest while no hotfix is
  // recorded, or the reverse. None without an instance, or when a record could not be read.
  std::optional<std::string> installState;
  // The recorded hotfix version, else the version install.xml records for the install feature
  // of the staged removal manifest.
  std::optional<std::string> heldHotfixVersion;
  std::optional<LastInstall> lastInstall;
  // Records that exist and could not be read ("<path>: <reason>"): the values above that
  // they hold are then unknown, not absent.
  std::vector<std::string> errors;
  // What later runs would get wrong on this instance (a relative rcp.data).
  std::vector<std::string> warnings;
};
InstanceStatus status(const std::string& platformHome,
                      const std::string& errorMarkerFile = ERROR_MARKER_FILE);

// Whether an install of the wanted hotfix version is needed: yes when the instance is
// half-installed, without a recorded hotfix or with one that orders before it (the comparison
// of the code-7 check), no when it or a later one is recorded or no instance is there; none
// when the instance could not be read.
struct InstallNeed {
  std::optional<bool> needed;
  std::string message;  // one line that says which
};
InstallNeed needsInstall(const InstanceStatus& instance, const std::string& wanted);

// The inventory value: the recorded hotfix version, "none", "no instance", "half-installed"
// or "<version> (half-installed)"; none with a failure (the first error) when a record could
// not be read.
struct InventoryValue {
  std::optional<std::string> value;
  std::string error;
};
InventoryValue inventoryValue(const InstanceStatus& instance);

// --- the program -------------------------------------------------------------------------

std::string usage();
// The whole run on the arguments (argv[0] first); answers the exit status.
int run(const std::vector<std::string>& arguments);

}  // namespace rcpinstall::HotfixCheck

namespace rcpinstall {
// The program's entry routine.
int HotfixCheckMain(int argc, char** argv);
}  // namespace rcpinstall
