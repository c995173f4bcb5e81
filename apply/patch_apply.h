// The install program patchapply: settings, location of the product, pre-checks, hand-off.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "apply/hotfix.h"
#include "foundation/install_util.h"
#include "foundation/register_file.h"
#include "os/plist_value.h"

namespace rcpinstall {

// Left for the install package's scripts when the install workflow fails: an empty file that
// everyone may read and write, owned by the invoking user and the group "admin".
inline constexpr const char* ERROR_MARKER_FILE = "/tmp/Orrery.hotfix.error";
inline constexpr const char* ERROR_MARKER_GROUP = "admin";
inline constexpr unsigned ERROR_MARKER_MODE = 0777;

// The computed entry that the settings gain when they locate a product.
inline constexpr const char* KEY_RCP_HOME = "rcpHome";

inline constexpr const char* PATCH_APPLY_USAGE =
    "usage: patchapply <package path> <install destination>\n";

// Fixed places the program reads and writes; tests give their own.
struct PatchApplyLocations {
  std::string registerDirectory = REGISTER_DIRECTORY;
  std::string errorMarkerFile = ERROR_MARKER_FILE;
  std::string traceLogPath = TRACE_LOG_PATH;
  HotfixLocations hotfix;  // also names the error channel's directory
};

// What the start of a run works out from its two arguments.
struct InstallTarget {
  // Argument 1, absolute (a relative one taken against the working directory, links not
  // resolved); empty when it was empty.
  std::string pathToInstallPackage;
  // Argument 2, absolute in the same way, replaced by the directory of the registered product
  // when the registry is used.
  std::string pathToInstallDestination;
  // The settings file's entries as read (less any KEY_RCP_HOME of its own), plus the computed
  // KEY_RCP_HOME when a product was located.
  os::PlistValue properties;
  // The product's application bundle by the location rule; none without a bundleName.
  std::optional<std::string> productBundle;
};

// Makes both arguments absolute, reads the package's settings and locates the product's
// application bundle and its rcp home: <destination>/<bundleName>.app when allowMultiInstance is
// true, else the registry's product path when it exists, else <destination>/<bundleName>.app again.
InstallTarget resolveInstallTarget(const std::string& pathToInstallPackage,
                                   const std::string& pathToInstallDestination,
                                   const std::string& registerDirectory = REGISTER_DIRECTORY);

// The product bundle path by the same rule, for settings that name a bundleName.
std::optional<std::string> productBundlePath(
    const os::PlistValue& properties, const std::string& pathToInstallDestination,
    const std::string& registerDirectory = REGISTER_DIRECTORY);

// Whether version a orders before version b: UTF-16 code unit by code unit, case-sensitive,
// no numeric reading of digit runs ("1.10" orders before "1.9").
bool versionOrdersBefore(const std::string& a, const std::string& b);

// One pre-check and whether it passed; the checks after a refusal are not made.
struct PreCheck {
  std::string name;
  bool passed = false;
};

// What the install program decides before it changes anything: the code it sends when it
// refuses (kNoError when it goes ahead) with its details, where the product and its platform
// are, and whether the installed hotfix is removed first. The program acts on exactly this,
// and so can anyone who wants to know what it would do.
struct InstallDecision {
  InstallTarget target;
  int code = kNoError;
  std::vector<std::string> details;
  std::optional<std::string> bundle;
  std::optional<std::string> rcpHome;
  // The product tree (application bundle, platform home, rcp home) opened once, before the
  // checks look at it: everything the install reads and changes there goes through these.
  std::shared_ptr<const os::Roots> roots;
  std::optional<std::string> packageVersion;
  std::optional<std::string> installedHotfixVersion;
  bool removesInstalledHotfix = false;
  std::vector<PreCheck> checks;  // in the order they were made

  bool goesAhead() const { return code == kNoError; }
};

// The settings and location of the two arguments, then the pre-checks in order: unsupported
// characters (3), platform present (8; also when the product tree cannot be opened as the
// roots of the run), product not running (6), no newer hotfix installed (7). Reads only;
// logs each step as the install does.
// With `productAsFound` the product's roots are opened as their paths lead (links on the way
// followed), for a caller that only reads the product.
InstallDecision decideInstall(const std::string& pathToInstallPackage,
                              const std::string& pathToInstallDestination,
                              const std::string& registerDirectory = REGISTER_DIRECTORY,
                              bool productAsFound = false);

// The code-4 refusal of a decision that goes ahead: the details the install workflow would
// send when its install manifest is missing ([the configured path]), cannot be read or does
// not parse, or its rcp home does not exist (["install.hotfix.xml"]); none when the manifest
// can be staged. Reads only. It is decided before the installed hotfix is removed, so that a
// package that cannot be installed never takes away the hotfix that works.
std::optional<std::vector<std::string>> installManifestRefusal(const InstallDecision& decision);

// Acts on a decision: a refusal (also the code 4 of installManifestRefusal) sends its code on
// the error channel and changes nothing in the product; otherwise the installed hotfix is
// removed when the decision says so, and the install workflow runs, both within the
// instance's mark of a change in progress. True when the workflow succeeded; a failed
// workflow leaves the error marker file. With `progress`, each step is announced as it starts.
bool carryOutInstall(const InstallDecision& decision, const PatchApplyLocations& locations = {},
                     StepProgress* progress = nullptr);

// Replaces whatever is at the path by a fresh, empty marker file: mode 0777, owner the
// invoking user (USER, else the process's user, else root), group "admin". Without the
// right to give the file to that owner and group, the file is still made, as the process's
// own.
bool createErrorMarkerFile(const std::string& path = ERROR_MARKER_FILE);

// The first character of the path that the location check refuses; none when it passes.
std::optional<char> unsupportedCharacter(const std::string& path);

// The line patchapply prints on standard error for a code it sends, newline included:
// "patchapply: refused (code N): <meaning>: <detail>", "failed" for code 9. The detail comes
// from the record's details and, where they say too little, from the decision: the refused
// character and its path for code 3; for code 8 the missing settings file or install.xml.
std::string errorLine(int code, const std::vector<std::string>& details,
                      const InstallDecision& decision);

// The whole run on the arguments (argv[0] first); answers the exit status, 0 only when the
// hotfix was installed. Each code sent is also named on standard error (errorLine), and a
// failure that sent none in one line of its own.
int runPatchApply(const std::vector<std::string>& arguments,
                  const PatchApplyLocations& locations = {}, StepProgress* progress = nullptr);

// The program's entry routine.
int PatchApplyMain(int argc, char** argv);

}  // namespace rcpinstall
