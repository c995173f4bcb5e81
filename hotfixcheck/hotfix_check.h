// hotfixcheck: checks a hotfix package, plans and rehearses an install, reports an instance.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "apply/patch_apply.h"

namespace rcpinstall::HotfixCheck {

// Version of the JSON documents; raised when a change would break a reader.
inline constexpr int FORMAT_VERSION = 1;

// Exit statuses beside the ones each command documents.
inline constexpr int EXIT_USAGE = 2;

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
  bool wellFormed = false;
  // The first level the walk does not find ("domain-object", ..., "installfeature"); none
  // when every level is there.
  std::optional<std::string> missingLevel;
  std::vector<InstallFeature> installFeatures;
};
ManifestContents readManifest(const std::string& path);

// Whether a feature counts as installed by a manifest (no action, or exactly "install").
bool installs(const Feature& feature);

// --- lint --------------------------------------------------------------------------------

struct Finding {
  std::string severity;  // "error" or "warning"
  std::string code;      // settings-unreadable, settings-type, unsupported-characters,
                         // missing-file, malformed-manifest, unresolved-location,
                         // removal-mismatch
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
  // A path that an earlier step's outcome decides: the path on each outcome.
  std::vector<std::pair<std::string, std::string>> pathOnOutcome;
};

struct Plan {
  InstallDecision decision;
  int code = kNoError;  // the decision's code, or 4 from the install workflow
  std::vector<std::string> details;
  std::vector<std::vector<std::string>> launcherRuns;  // program first
  std::vector<PlannedStep> steps;
  // What the run's outcome would be, provisioning succeeding: 0 or 1.
  int exitStatus = 0;
};
Plan plan(const std::string& package, const std::string& destination,
          const std::string& registerDirectory = REGISTER_DIRECTORY);

// --- rehearse ----------------------------------------------------------------------------

struct RehearsalOptions {
  std::string ignitor;  // the simulated launcher to put in place of the copy's
  bool keep = false;    // keep the temporary directory
  std::string registerDirectory = REGISTER_DIRECTORY;
};

struct Rehearsal {
  std::optional<std::string> bundle;     // the product copied
  std::optional<std::string> directory;  // the temporary directory
  int installCode = kNoError;            // the code the install sent on its error channel
  bool installed = false;
  std::optional<std::string> installResult;  // "rc" of the install's provisioning run
  bool removed = false;
  bool roundTrip = false;
  std::vector<Feature> installFeaturesAdded;
  std::vector<Feature> featuresAdded;
  std::vector<std::vector<std::string>> launcherRuns;
  std::vector<std::string> printed;     // what the workflows printed
  std::vector<std::string> unrepaired;  // what the ownership repair could not do
  std::vector<std::string> problems;    // why the rehearsal failed

  bool passed() const { return installed && removed && roundTrip && problems.empty(); }
};
Rehearsal rehearse(const std::string& package, const std::string& destination,
                   const RehearsalOptions& options);

// --- status ------------------------------------------------------------------------------

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
  std::vector<std::string> backups;               // install.<version>.xml in deploy
  std::vector<std::string> stagedManifests;       // install.update.xml, uninstall.*.xml in deploy
  std::optional<std::string> provisioningResult;  // "rc" of .provisioning_rc as written
  std::optional<std::string> finalStatus;
  std::optional<bool> running;  // none when no application bundle encloses the platform
};
InstanceStatus status(const std::string& platformHome);

// --- the program -------------------------------------------------------------------------

std::string usage();
// The whole run on the arguments (argv[0] first); answers the exit status.
int run(const std::vector<std::string>& arguments);

}  // namespace rcpinstall::HotfixCheck

namespace rcpinstall {
// The program's entry routine.
int HotfixCheckMain(int argc, char** argv);
}  // namespace rcpinstall
