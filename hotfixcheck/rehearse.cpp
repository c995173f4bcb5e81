// hotfixcheck rehearse: the real install and removal workflows on a private copy of the product,
// with the simulated launcher in place of the copy's and private places for every fixed name.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <set>
#include <sstream>
#include <system_error>

#include "apply/hotfix.h"
#include "foundation/install_util.h"
#include "foundation/java_properties.h"
#include "foundation/string_util.h"
#include "hotfixcheck/hotfix_check.h"
#include "hotfixcheck/report_json.h"
#include "instance/instance_service.h"
#include "os/atomic_file.h"
#include "os/child_process.h"
#include "os/file_system.h"
#include "os/held_directory.h"
#include "os/interruption.h"
#include "os/path.h"
#include "os/root.h"
#include "os/standard_output.h"
#include "os/user_identity.h"
#include "remove/patch_remove.h"

namespace rcpinstall::HotfixCheck {

namespace fs = os::FileSystem;
using os::appendComponent;

namespace {

// The runs the simulated launcher records beside itself: one argument a line, an empty line
// after each run.
constexpr const char* kLauncherCalls = "ignitor.calls";
// The rehearsals' temporary directories: <TMPDIR or /tmp>/hotfixcheck.XXXXXX.
constexpr const char* kDirectoryPrefix = "hotfixcheck";

using FeatureSet = std::set<std::pair<std::string, std::string>>;  // id, version

struct Installed {
  FeatureSet installFeatures;
  FeatureSet features;
  bool operator==(const Installed&) const = default;
};

Installed installedBy(const os::Location& manifestPath) {
  Installed installed;
  for (const InstallFeature& top : readManifest(manifestPath).installFeatures) {
    installed.installFeatures.insert({top.feature.id, top.feature.version});
    for (const Feature& feature : top.requirements) {
      if (installs(feature)) installed.features.insert({feature.id, feature.version});
    }
  }
  return installed;
}

// What a removal manifest takes out: its install features and the features it uninstalls.
Installed removedBy(const os::Location& manifestPath) {
  Installed removed;
  for (const InstallFeature& top : readManifest(manifestPath).installFeatures) {
    removed.installFeatures.insert({top.feature.id, top.feature.version});
    for (const Feature& feature : top.requirements) {
      if (feature.action == "uninstall") removed.features.insert({feature.id, feature.version});
    }
  }
  return removed;
}

FeatureSet minus(const FeatureSet& a, const FeatureSet& b) {
  FeatureSet out;
  std::set_difference(a.begin(), a.end(), b.begin(), b.end(), std::inserter(out, out.end()));
  return out;
}

FeatureSet both(const FeatureSet& a, const FeatureSet& b) {
  FeatureSet out;
  std::set_intersection(a.begin(), a.end(), b.begin(), b.end(), std::inserter(out, out.end()));
  return out;
}

std::vector<Feature> asFeatures(const FeatureSet& set) {
  std::vector<Feature> out;
  for (const auto& [id, version] : set) out.push_back({id, version, std::nullopt, std::nullopt});
  return out;
}

std::vector<std::vector<std::string>> launcherCalls(const os::Location& file) {
  std::vector<std::vector<std::string>> runs;
  std::istringstream in(os::readWholeFile(file).value_or(""));
  std::vector<std::string> current;
  for (std::string line; std::getline(in, line);) {
    if (!line.empty()) {
      current.push_back(line);
      continue;
    }
    runs.push_back(std::move(current));
    current.clear();
  }
  if (!current.empty()) runs.push_back(std::move(current));
  return runs;
}

std::vector<std::string> linesOf(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty()) lines.push_back(line);
  }
  return lines;
}

// What the workflows print to standard output goes to a file of the rehearsal, so that the
// report (a JSON document perhaps) stays the only thing on standard output.
class CapturedOutput {
 public:
  explicit CapturedOutput(const std::string& path) : path_(path), capture_(path) {}

  std::vector<std::string> restore() {
    capture_.restore();
    return linesOf(os::readWholeFile(path_).value_or(""));
  }

 private:
  std::string path_;
  os::StandardOutputCapture capture_;
};

// rcp.data of the copy: a workspace inside the product stays where the copy has it; one
// elsewhere (the user's home, another disk, a path that climbs out with "..") is replaced by a
// private one, so that neither the provisioning log nor the ownership repair reaches the
// original. False, with the problem reported, when the copy could not be given one.
bool privateWorkspace(const os::Roots& rehearsal, const std::string& copyRcpHome,
                      const std::string& originalPlatformHome, const std::string& copyPlatformHome,
                      const std::string& directory, const std::optional<std::string>& owner,
                      Rehearsal& report) {
  const std::string properties = appendComponent(copyRcpHome, InstanceService::IGNITOR_PROPERTIES);
  if (!fs::exists(rehearsal.at(properties))) return true;
  JavaProperties launcher(rehearsal.at(properties));
  const std::optional<std::string> data = launcher.getPropertyForKey(InstanceService::KEY_RCP_DATA);
  const std::vector<std::string> parts = os::components(data.value_or(""));
  const bool climbs = std::find(parts.begin(), parts.end(), "..") != parts.end();
  if (!data || data->empty() || (data->starts_with("${rcp.home}") && !climbs)) return true;
  std::string workspace = appendComponent(directory, "workspace");
  const std::string inside = originalPlatformHome + "/";
  if (data->starts_with(inside) && !climbs) {
    workspace = copyPlatformHome + "/" + data->substr(inside.size());
  }
  std::error_code error;
  std::filesystem::create_directories(workspace, error);
  // A workspace outside the copy is the copy's owner's from the start: the ownership repair
  // hands over nothing outside a product.
  if (owner && !workspace.starts_with(copyPlatformHome + "/")) {
    fs::setAttributes(rehearsal.at(workspace), fs::Attributes{owner, std::nullopt, std::nullopt});
  }
  if (!launcher.setProperty(workspace, std::string(InstanceService::KEY_RCP_DATA)) ||
      !launcher.savePropertiesToFile()) {
    report.problems.push_back("cannot give the copy a workspace of its own: " + properties + ": " +
                              std::strerror(errno));
    return false;
  }
  return true;
}

// The entries below a directory whose owner, group or mode the ownership repair did not set.
void findUnrepaired(const std::string& directory, Rehearsal& report) {
  const std::optional<std::string> owner = InstallUtil::standardOwner();
  const std::optional<uid_t> uid = owner ? os::lookupUserId(*owner) : std::nullopt;
  const std::optional<gid_t> gid = os::lookupGroupId(InstallUtil::STANDARD_GROUP);
  size_t wrongOwner = 0;
  size_t wrongGroup = 0;
  size_t wrongMode = 0;
  std::error_code error;
  for (auto it = std::filesystem::recursive_directory_iterator(directory, error);
       !error && it != std::filesystem::recursive_directory_iterator(); it.increment(error)) {
    const std::optional<fs::EntryAttributes> entry = fs::entryAttributes(it->path().string());
    if (!entry) continue;
    if (uid && entry->owner != *uid) ++wrongOwner;
    if (gid && entry->group != *gid) ++wrongGroup;
    if (!entry->isLink && entry->mode != InstallUtil::STANDARD_MODE) ++wrongMode;
  }
  const std::string where = " of the copy's rcp home";
  if (!gid) {
    report.unrepaired.push_back("the group " + std::string(InstallUtil::STANDARD_GROUP) +
                                " does not exist here: no entry" + where + " could be given it");
  }
  if (wrongOwner > 0) {
    report.unrepaired.push_back(std::to_string(wrongOwner) + " entries" + where +
                                " could not be given to " + *owner + " (that needs root)");
  }
  if (wrongGroup > 0) {
    report.unrepaired.push_back(std::to_string(wrongGroup) + " entries" + where +
                                " could not be given the group " + InstallUtil::STANDARD_GROUP +
                                " (that needs root or membership)");
  }
  if (wrongMode > 0) {
    report.unrepaired.push_back(std::to_string(wrongMode) + " entries" + where +
                                " keep another mode than 0775");
  }
}

std::string describe(const std::pair<std::string, std::string>& feature) {
  return feature.first + " " + feature.second;
}

// The files the workflows read in the rcp home: a copy without one of them (or a directory on
// the way to it) would rehearse another install than the real one.
bool decidesTheOutcome(const std::string& skipped, const std::string& rcpHomeInBundle) {
  for (const std::string& name :
       {std::string(InstanceService::DEPLOY_DIRECTORY) + "/" + InstanceService::INSTALL_MANIFEST,
        std::string(InstanceService::DEPLOY_DIRECTORY) + "/" + PatchRemove::UNINSTALL_MANIFEST,
        std::string(InstanceService::INSTALL_INFO),
        std::string(InstanceService::IGNITOR_PROPERTIES),
        std::string(InstanceService::PLUGIN_CUSTOMIZATION)}) {
    const std::string file = rcpHomeInBundle + "/" + name;
    if (skipped.empty() || file == skipped || file.starts_with(skipped + "/")) return true;
  }
  return false;
}

// Copies the product into the rehearsal's directory with no link in it. False, with the
// problem reported, when the copy cannot stand in for the product.
bool copyProduct(const std::string& originalBundle, const os::Location& copy,
                 const std::string& rcpHomeInBundle, Rehearsal& report) {
  const fs::ResolvedCopy made = fs::copyResolvingLinks(originalBundle, copy);
  for (const fs::SkippedEntry& entry : made.skipped) {
    report.skipped.push_back({entry.path, entry.reason});
  }
  if (!made.made) {
    report.problems.push_back("cannot copy the product " + originalBundle + " to " + copy.path() +
                              ": " +
                              (made.error.empty() && !made.skipped.empty()
                                   ? originalBundle + ": " + made.skipped[0].reason
                                   : made.error));
    return false;
  }
  for (const fs::SkippedEntry& entry : made.skipped) {
    if (decidesTheOutcome(entry.path, rcpHomeInBundle)) {
      report.problems.push_back("cannot rehearse: " + originalBundle + "/" + entry.path +
                                " could not be copied (" + entry.reason +
                                "), and the install reads it");
      return false;
    }
  }
  return true;
}

// Where the copy lies in the rehearsal's directory.
struct CopyPlaces {
  std::string products;  // the install location the workflows are given
  std::string copy;      // the copied application bundle
  std::string rcpHome;
  std::string platformHome;
  std::string launcher;  // the simulated launcher, in place of the copy's
  std::string calls;     // the runs the simulated launcher records
};

// The copy's platform is found by the same rule as the original's.
CopyPlaces copyPlaces(const std::string& directory, const std::string& bundleName,
                      const std::string& relative) {
  CopyPlaces places;
  places.products = appendComponent(directory, "product");
  places.copy = appendComponent(places.products, bundleName + APP_EXTENSION);
  places.rcpHome = appendComponent(places.copy, relative);
  places.platformHome = os::deletingLastComponent(places.rcpHome);
  places.launcher = appendComponent(places.rcpHome, LAUNCHER_NAME);
  places.calls = appendComponent(places.rcpHome, kLauncherCalls);
  return places;
}

std::string deployFile(const std::string& rcpHome, const char* name) {
  return appendComponent(appendComponent(rcpHome, InstanceService::DEPLOY_DIRECTORY), name);
}

// The account the copy is made as: none (this process's own) unless run as root.
struct Copier {
  std::optional<os::Identity> identity;
  std::optional<std::string> name;
};

// As root, the copy is made with the powers of the account the product's launcher runs as
// (its owner, when users other than root can change it): the copy then holds only bytes that
// account could read, whatever links it planted, and lies in a folder of that account that
// nobody else may enter. None, with the problem reported, when that account has no name.
std::optional<Copier> copierOf(const std::string& original, Rehearsal& report) {
  Copier copier;
  copier.identity = os::identityToRun(appendComponent(original, LAUNCHER_NAME), original);
  if (!copier.identity) return copier;
  copier.name = os::userNameOf(copier.identity->uid);
  if (!copier.name) {
    report.problems.push_back("cannot copy the product as uid " +
                              std::to_string(copier.identity->uid) +
                              ", which owns it: no such account");
    return std::nullopt;
  }
  return copier;
}

// Copies the product as the copier and puts the simulated launcher in place of the copy's.
// False, with the problem reported, when either could not be done.
bool copyWithSimulatedLauncher(const os::Roots& rehearsal, const CopyPlaces& places,
                               const std::string& originalBundle, const std::string& relative,
                               const Copier& copier, const std::string& ignitor,
                               Rehearsal& report) {
  bool copied = false;
  fs::ResolvedCopy simulated;
  const auto makeCopy = [&] {
    if (copier.identity && os::isRunningAsRoot()) {
      report.problems.push_back("cannot copy the product as " + *copier.name +
                                ", who owns it: the switch to that account failed");
      return;
    }
    copied = copyProduct(originalBundle, rehearsal.at(places.copy), relative, report);
    if (!copied) return;
    const os::Location launcher = rehearsal.at(places.launcher);
    if (fs::entryExists(launcher)) fs::removeItem(launcher);
    simulated = fs::copyResolvingLinks(ignitor, launcher);
  };
  if (copier.identity) {
    os::runAsEffectiveUser(copier.identity->uid, makeCopy);
  } else {
    makeCopy();
  }
  if (!copied) return false;
  if (!simulated.made) {
    report.problems.push_back(
        "cannot put the simulated launcher " + ignitor + " at " + places.launcher + ": " +
        (simulated.skipped.empty() ? simulated.error : simulated.skipped[0].reason));
    return false;
  }
  return true;
}

// Makes the copy the workflows run on. False, with the problem reported, when it cannot
// stand in for the product.
bool prepareCopy(const os::Roots& rehearsal, const CopyPlaces& places, const std::string& directory,
                 const std::string& originalBundle, const std::string& original,
                 const std::string& relative, const RehearsalOptions& options, Rehearsal& report) {
  const std::optional<Copier> copier = copierOf(original, report);
  if (!copier) return false;
  if (!fs::createDirectory(
          rehearsal.at(places.products),
          fs::Attributes{copier->name, std::nullopt,
                         copier->identity ? std::optional<mode_t>(0700) : std::nullopt})) {
    report.problems.push_back("cannot make " + places.products + ": " + std::strerror(errno));
    return false;
  }
  if (!copyWithSimulatedLauncher(rehearsal, places, originalBundle, relative, *copier,
                                 options.ignitor, report)) {
    return false;
  }
  // Only the runs of this rehearsal are reported, not those the original may have recorded.
  if (fs::entryExists(rehearsal.at(places.calls))) fs::removeItem(rehearsal.at(places.calls));
  return privateWorkspace(rehearsal, places.rcpHome, os::deletingLastComponent(original),
                          places.platformHome, directory, copier->name, report);
}

// The places patchapply writes outside the product, each a private one of the rehearsal.
PatchApplyLocations privateLocations(const os::Roots& rehearsal, const std::string& directory) {
  PatchApplyLocations locations;
  locations.registerDirectory = appendComponent(directory, "registry");
  locations.errorMarkerFile = appendComponent(directory, "hotfix.error");
  locations.traceLogPath = appendComponent(directory, "install_trace.log");
  locations.hotfix.configurationFile = appendComponent(directory, "configuration");
  locations.hotfix.qelConfigFile = appendComponent(directory, "qel.config");
  locations.hotfix.errorStoreDirectory = appendComponent(directory, "pasteboard");
  fs::createDirectory(rehearsal.at(locations.registerDirectory), fs::Attributes{});
  return locations;
}

// The code the install sent on its error channel and the result its provisioning run left.
void recordInstallOutcome(const os::Roots& rehearsal, const PatchApplyLocations& locations,
                          const std::string& platformHome, Rehearsal& report) {
  if (const std::optional<os::PlistValue> record =
          InstallUtil::getErrorMessage(locations.hotfix.errorStoreDirectory)) {
    const os::PlistValue* code = record->find(ERROR_CODE);
    if (code != nullptr && code->asInteger() != nullptr) {
      report.installCode = static_cast<int>(*code->asInteger());
    }
  }
  const std::string resultFile = appendComponent(platformHome, InstanceService::PROVISIONING_RC);
  if (fs::exists(rehearsal.at(resultFile))) {
    report.installResult =
        JavaProperties(rehearsal.at(resultFile)).getPropertyForKey(InstanceService::KEY_RC);
  }
}

void reportFailedInstall(Rehearsal& report) {
  if (!*report.installed) {
    report.problems.push_back(
        "the install failed (code " +
        (report.installCode ? std::to_string(*report.installCode) : std::string("none")) +
        ", provisioning result " + report.installResult.value_or("none") +
        "); no removal was rehearsed");
  }
  if (report.installResult && *report.installResult != "0") {
    report.problems.push_back(
        "the install's provisioning run ended with rc=" + *report.installResult + ", not 0");
  }
}

// Every feature the package's install manifest installs must be in place.
void checkWantedFeatures(const std::string& package, const std::string& products,
                         const Installed& after, Rehearsal& report) {
  const Hotfix hotfix(package, products);
  if (!hotfix.preference()) return;
  if (const std::optional<std::string> manifest =
          settingsString(*hotfix.preference(), KEY_HOTFIX_MANIFEST)) {
    const Installed wanted = installedBy(*manifest);
    for (const auto& feature : minus(wanted.features, after.features)) {
      report.problems.push_back("feature " + describe(feature) +
                                " of the install manifest was not installed");
    }
  }
}

// The removal manifest the install left must name what the install added: a platform takes
// out only what it is told to.
void checkRemovalManifest(const os::Roots& rehearsal, const std::string& rcpHome,
                          const FeatureSet& added, Rehearsal& report) {
  const FeatureSet named =
      removedBy(rehearsal.at(deployFile(rcpHome, PatchRemove::UNINSTALL_MANIFEST))).features;
  for (const auto& feature : minus(added, named)) {
    report.problems.push_back("the removal manifest does not take out feature " +
                              describe(feature) + ", which the install added");
  }
}

// The removal works on the copy as patchremove works on a product: from its roots.
void rehearseRemoval(const CopyPlaces& places, StepProgress* progress, Rehearsal& report) {
  {
    const std::shared_ptr<const os::Roots> roots =
        InstanceService::openProductRoots(places.copy, places.rcpHome);
    if (!roots) {
      report.removed = false;
      report.problems.push_back("the copy could not be held open for the removal");
      return;
    }
    PatchRemove removal(roots, places.rcpHome);
    removal.showProgress(progress);
    report.removed = removal.uninstallOldHotfix();
  }
  if (!*report.removed) report.problems.push_back("the removal failed");
}

// What should be installed after the install and the removal: what was before, or, with an
// older hotfix removed first, what was before less that hotfix.
Installed expectedAfterRemoval(const Installed& before, const Installed& after,
                               const Installed& older, bool removesInstalledHotfix) {
  Installed expected = before;
  // (The same version installed again is in both, and is gone after the removal too.)
  if (removesInstalledHotfix) {
    expected.installFeatures =
        minus(both(before.installFeatures, after.installFeatures), older.installFeatures);
    expected.features = minus(both(before.features, after.features), older.features);
  }
  return expected;
}

void checkRoundTrip(const Installed& expected, const Installed& end, Rehearsal& report) {
  report.roundTrip = end == expected;
  for (const auto& feature : minus(end.features, expected.features)) {
    report.problems.push_back("feature " + describe(feature) +
                              " is still installed after the removal");
  }
  for (const auto& feature : minus(expected.features, end.features)) {
    report.problems.push_back("feature " + describe(feature) + " is lost after the removal");
  }
  for (const auto& feature : minus(end.installFeatures, expected.installFeatures)) {
    report.problems.push_back("install feature " + describe(feature) +
                              " is still installed after the removal");
  }
  for (const auto& feature : minus(expected.installFeatures, end.installFeatures)) {
    report.problems.push_back("install feature " + describe(feature) +
                              " is lost after the removal");
  }
}

void rehearseOnCopy(const std::string& package, const std::string& directory,
                    const std::string& bundleName, const std::string& originalBundle,
                    const InstallDecision& decision, const RehearsalOptions& options,
                    Rehearsal& report) {
  // Below the rehearsal's directory nothing is reached through a link (os/root.h): what the
  // rehearsal does there cannot lead out of it, and the workflows hold the copy as their roots.
  os::Roots rehearsal;
  if (!rehearsal.add(directory)) {
    report.problems.push_back("cannot open " + directory + ": " + std::strerror(errno));
    return;
  }
  const std::string original = *decision.rcpHome;
  const std::string relative = original.substr(originalBundle.size() + 1);
  const CopyPlaces places = copyPlaces(directory, bundleName, relative);
  if (!prepareCopy(rehearsal, places, directory, originalBundle, original, relative, options,
                   report)) {
    return;
  }

  const std::string installManifest = deployFile(places.rcpHome, InstanceService::INSTALL_MANIFEST);
  const Installed before = installedBy(rehearsal.at(installManifest));
  const PatchApplyLocations locations = privateLocations(rehearsal, directory);
  CapturedOutput output(appendComponent(directory, "printed"));
  const InstallDecision onCopy =
      decideInstall(package, places.products, locations.registerDirectory);
  // The installed hotfix that the install removes first, as its own removal manifest names it.
  const Installed older =
      removedBy(rehearsal.at(deployFile(places.rcpHome, PatchRemove::UNINSTALL_MANIFEST)));
  std::optional<StepProgress> progress;
  if (options.progress) progress.emplace("hotfixcheck rehearse");
  report.installed = runPatchApply({"patchapply", package, places.products}, locations,
                                   progress ? &*progress : nullptr) == 0;
  recordInstallOutcome(rehearsal, locations, places.platformHome, report);
  const Installed after = installedBy(rehearsal.at(installManifest));
  report.installFeaturesAdded = asFeatures(minus(after.installFeatures, before.installFeatures));
  const FeatureSet added = minus(after.features, before.features);
  report.featuresAdded = asFeatures(added);
  findUnrepaired(places.rcpHome, report);
  reportFailedInstall(report);
  checkWantedFeatures(package, places.products, after, report);

  if (*report.installed) {
    checkRemovalManifest(rehearsal, places.rcpHome, added, report);
    rehearseRemoval(places, progress ? &*progress : nullptr, report);
    checkRoundTrip(expectedAfterRemoval(before, after, older, onCopy.removesInstalledHotfix),
                   installedBy(rehearsal.at(installManifest)), report);
  }
  report.printed = output.restore();
  report.launcherRuns = launcherCalls(rehearsal.at(places.calls));
}

// Whether the decision found an installed product wholly inside its bundle and there is a
// simulated launcher to put in the copy; the problem is reported when not.
bool rehearsable(const InstallDecision& decision, const std::optional<std::string>& bundleName,
                 const RehearsalOptions& options, Rehearsal& report) {
  if (!bundleName || !report.bundle || !decision.rcpHome ||
      !decision.rcpHome->starts_with(*report.bundle + "/") ||
      !InstanceService(decision.roots, decision.rcpHome).hasInstanceInstalled()) {
    report.problems.push_back("no installed product to rehearse on (patchapply would send code " +
                              std::to_string(decision.code) + ")");
    return false;
  }
  const std::vector<std::string> inside =
      os::components(decision.rcpHome->substr(report.bundle->size()));
  if (std::find(inside.begin(), inside.end(), "..") != inside.end()) {
    report.problems.push_back("the platform " + *decision.rcpHome +
                              " lies outside the application bundle; it is not copied");
    return false;
  }
  if (std::error_code error; !std::filesystem::exists(options.ignitor, error)) {
    report.problems.push_back("no simulated launcher at " + options.ignitor + ": " +
                              (error ? error.message() : std::strerror(ENOENT)) +
                              " (give its path with --ignitor)");
    return false;
  }
  return true;
}

// The report the child sent back, or what ended it early.
void takeChildReport(const os::InterruptibleOutcome& outcome, Rehearsal& report) {
  if (outcome.finished) {
    if (std::optional<Rehearsal> done = decodeRehearsal(outcome.answer)) {
      report = std::move(*done);
    } else {
      report.problems.push_back("the rehearsal's report could not be read");
    }
  } else if (outcome.signal != 0) {
    report.interrupted = os::signalName(outcome.signal);
    report.problems.push_back("interrupted by " + *report.interrupted +
                              ": the launcher it started was ended and its copy removed");
  } else {
    report.problems.push_back("the rehearsal ended early: " + outcome.error);
  }
}

}  // namespace

Rehearsal rehearse(const std::string& package, const std::string& destination,
                   const RehearsalOptions& options) {
  Rehearsal report;
  // The original is only read (the copy is made with its owner's powers), so links on the
  // way to it are followed; patchapply would not work on such a product.
  const InstallDecision decision =
      decideInstall(package, destination, options.registerDirectory, true);
  report.bundle = decision.target.productBundle;
  const std::optional<std::string> bundleName =
      settingsString(decision.target.properties, KEY_BUNDLE_NAME);
  if (!rehearsable(decision, bundleName, options, report)) return report;
  if (!InstanceService::openProductRoots(decision.bundle, *decision.rcpHome)) {
    report.notes.push_back(*decision.rcpHome +
                           " is reached through a symbolic link: patchapply would refuse to "
                           "install into it (code 8); the rehearsal runs on a copy all the same");
  }
  if (decision.code == kInstanceIsRunning) {
    report.notes.push_back(*report.bundle +
                           " is running: patchapply would refuse to install into it (code 6); "
                           "the rehearsal runs on a copy all the same");
  }
  // From here an interruption ends the work in the child and lets this process clean up.
  const os::HeldInterruptions held;
  for (const std::string& stale : os::removeUnheldDirectories(kDirectoryPrefix)) {
    report.notes.push_back("removed " + stale + ", left by an earlier rehearsal that was killed");
  }
  os::HeldDirectory directory(kDirectoryPrefix);
  if (directory.path().empty()) {
    report.problems.push_back(directory.error());
    return report;
  }
  report.directory = directory.path();
  // Run as root, the install gives the copy to the invoking user, and the launcher then runs
  // as that user: it must be able to reach its copy (others may pass, not list or write).
  if (os::isRunningAsRoot()) {
    fs::setAttributes(directory.path(), fs::Attributes{std::nullopt, std::nullopt, 0711});
  }
  const os::InterruptibleOutcome outcome = os::runInterruptibly([&] {
    Rehearsal inChild = report;
    rehearseOnCopy(package, directory.path(), *bundleName, *report.bundle, decision, options,
                   inChild);
    return encodeRehearsal(inChild);
  });
  takeChildReport(outcome, report);
  if (!options.keep || report.interrupted) directory.remove();
  return report;
}

}  // namespace rcpinstall::HotfixCheck
