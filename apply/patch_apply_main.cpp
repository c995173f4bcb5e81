// The entry routine of patchapply: trace log, error channel, settings and product location.
#include <cstdio>
#include <exception>

#include "apply/patch_apply.h"
#include "foundation/program_info.h"
#include "os/file_system.h"
#include "os/path.h"
#include "os/system_log.h"

namespace rcpinstall {

namespace fs = os::FileSystem;
using os::SystemLog::kInfo;

std::optional<std::string> productBundlePath(const os::PlistValue& properties,
                                             const std::string& pathToInstallDestination,
                                             const std::string& registerDirectory) {
  const std::optional<std::string> bundleName = settingsString(properties, KEY_BUNDLE_NAME);
  if (!bundleName || bundleName->empty()) return std::nullopt;
  const std::string atDestination =
      os::appendComponent(pathToInstallDestination, *bundleName + APP_EXTENSION);

  const os::PlistValue* multiInstance = properties.find(KEY_ALLOW_MULTI_INSTANCE);
  if (multiInstance != nullptr && InstallUtil::readsAsTrue(*multiInstance)) return atDestination;

  const std::optional<std::string> registered =
      RegisterFile(*bundleName, registerDirectory).getProductPath();
  if (registered && !registered->empty() && fs::exists(*registered)) return *registered;
  return atDestination;
}

namespace {

// A relative argument taken against the working directory, without resolving links. The
// staged manifest, the launcher's update site, the hand-off file and the messages carry these
// paths, and none of their readers shares this process's working directory. An empty
// argument stays empty (it names nothing); without a working directory the path stays as
// given, and then names nothing either.
std::string absoluteArgument(const std::string& path) {
  if (path.empty()) return path;
  return os::absolutePath(path).value_or(path);
}

}  // namespace

InstallTarget resolveInstallTarget(const std::string& pathToInstallPackage,
                                   const std::string& pathToInstallDestination,
                                   const std::string& registerDirectory) {
  InstallTarget target{absoluteArgument(pathToInstallPackage),
                       absoluteArgument(pathToInstallDestination), os::PlistValue(), std::nullopt};
  // Everything below works on the absolute paths only.
  const std::string& package = target.pathToInstallPackage;
  if (package.empty() || !fs::exists(package)) return target;
  std::optional<os::PlistValue> settings = readSettings(package);
  if (!settings) return target;
  target.properties = std::move(*settings);
  // The rcp home is only ever the one computed from the located bundle: an entry of that
  // name in the settings file would otherwise stand for a product nobody located.
  target.properties.erase(KEY_RCP_HOME);

  const std::optional<std::string> bundle =
      productBundlePath(target.properties, target.pathToInstallDestination, registerDirectory);
  if (!bundle) return target;
  target.productBundle = bundle;
  // Everything after this works on the directory that holds the product, which the registry
  // may have moved away from argument 2.
  const os::PlistValue* multiInstance = target.properties.find(KEY_ALLOW_MULTI_INSTANCE);
  if (multiInstance == nullptr || !InstallUtil::readsAsTrue(*multiInstance)) {
    target.pathToInstallDestination = os::deletingLastComponent(*bundle);
  }
  target.properties.set(KEY_RCP_HOME, rcpHomeOf(*bundle, target.properties));
  return target;
}

std::optional<char> unsupportedCharacter(const std::string& path) {
  if (!InstallUtil::containUnSupportedCharacters(path)) return std::nullopt;
  const size_t at = path.find_first_of(std::string(InstallUtil::UNSUPPORTED_CHARACTER_SET) + ":");
  if (at == std::string::npos) return std::nullopt;
  return path[at];
}

namespace {

const char* meaningOf(int code) {
  switch (code) {
    case kUnsupportedCharacters:
      return "the package path or the destination holds an unsupported character";
    case kInstallFileNotFound:
      return "the install manifest is missing from the package, or cannot be read as one";
    case kInstanceIsRunning:
      return "the product is running";
    case kHotfixFoundHigherVersion:
      return "a higher hotfix is already installed";
    case kInstalledPlatformNotFound:
      return "no installed platform was found";
    case kInstallNotCompleted:
      return "the install could not be completed or recorded";
    default:
      return "unexpected error";
  }
}

// The refused character, quoted, and the path that holds it.
std::optional<std::string> unsupportedCharacterIn(const std::string& path) {
  const std::optional<char> refused = unsupportedCharacter(path);
  if (!refused) return std::nullopt;
  return "'" + std::string(1, *refused) + "' in " + path;
}

std::string joinedDetails(const std::vector<std::string>& details) {
  std::string text;
  for (const std::string& detail : details) text += (text.empty() ? "" : ", ") + detail;
  return text;
}

}  // namespace

std::string errorLine(int code, const std::vector<std::string>& details,
                      const InstallDecision& decision) {
  const InstallTarget& target = decision.target;
  std::string detail = joinedDetails(details);
  if (code == kUnsupportedCharacters) {
    detail = unsupportedCharacterIn(target.pathToInstallPackage)
                 .value_or(unsupportedCharacterIn(target.pathToInstallDestination).value_or(""));
  } else if (code == kInstalledPlatformNotFound) {
    // The record names only the destination when the settings locate no product; a mistyped
    // package path must read as what it is.
    const std::string settings = settingsFilePath(target.pathToInstallPackage);
    if (decision.rcpHome) {
      detail =
          os::appendComponent(os::appendComponent(*decision.rcpHome, "deploy"), "install.xml") +
          " is missing";
    } else if (target.pathToInstallPackage.empty() || !fs::exists(settings)) {
      detail = "missing settings file " + settings;
    } else if (target.properties.asDictionary() == nullptr ||
               target.properties.asDictionary()->empty()) {
      detail = "settings file that cannot be read, or is empty: " + settings;
    } else {
      detail = "settings file without bundleName: " + settings;
    }
  } else if (code == kHotfixFoundHigherVersion && decision.installedHotfixVersion &&
             decision.packageVersion) {
    detail += " has hotfix " + *decision.installedHotfixVersion + ", the package holds " +
              *decision.packageVersion + " (versions compare as text)";
  }
  const char* verdict = code == kInstallNotCompleted ? "failed" : "refused";
  std::string line = "patchapply: " + std::string(verdict) + " (code " + std::to_string(code) +
                     "): " + meaningOf(code);
  if (!detail.empty()) line += ": " + detail;
  return line + "\n";
}

int runPatchApply(const std::vector<std::string>& arguments, const PatchApplyLocations& locations,
                  StepProgress* progress) {
  // Started by hand with too little to go on: nothing is touched, not even the error channel
  // that a result pane may still be showing.
  if (arguments.size() < 3) {
    std::fputs(PATCH_APPLY_USAGE, stderr);
    return 1;
  }

  const int trace = InstallUtil::openTraceOutput(locations.traceLogPath);
  os::SystemLog::log(kInfo, "Begin to install hotfix");
  InstallUtil::initInternalPasteboard(true, locations.hotfix.errorStoreDirectory);

  const InstallDecision decision =
      decideInstall(arguments[1], arguments[2], locations.registerDirectory);
  // The error channel is for the result pane; whoever started the program reads why it
  // stopped on standard error, one line for each code sent.
  bool told = false;
  InstallUtil::observeErrorMessages([&decision, &told](const os::PlistValue& record) {
    const os::PlistValue* code = record.find(ERROR_CODE);
    const os::PlistValue* details = record.find(ERROR_DETAILS);
    if (code == nullptr || code->asInteger() == nullptr || *code->asInteger() == kNoError) return;
    std::vector<std::string> texts;
    if (details != nullptr && details->asArray() != nullptr) {
      for (const os::PlistValue& detail : *details->asArray()) {
        if (detail.asString() != nullptr) texts.push_back(*detail.asString());
      }
    }
    std::fputs(errorLine(static_cast<int>(*code->asInteger()), texts, decision).c_str(), stderr);
    told = true;
  });
  const bool installed = carryOutInstall(decision, locations, progress);
  InstallUtil::observeErrorMessages(nullptr);
  if (!installed && !told) {
    const std::string platformHome = os::deletingLastComponent(decision.rcpHome.value_or(""));
    std::fprintf(stderr,
                 "patchapply: failed: the provisioning run reported no success in %s (read "
                 "the provisioning log in <rcp.data>/logs and the trace log)\n",
                 os::appendComponent(platformHome, ".provisioning_rc").c_str());
  }

  InstallUtil::closeTraceOutput(trace);
  return installed ? 0 : 1;
}

namespace {

constexpr const char* PATCH_APPLY_HELP =
    R"(usage: patchapply <package path> <install destination>
       patchapply --help | --version

Applies the hotfix in the install package <package path> (its settings file is
Contents/Resources/hotfix.plist) to the product installed under <install destination>.
The hotfix package's install script starts it, normally as root; it is no command to
run by hand.

Exit status:
  0  the hotfix was installed
  1  anything else; the error code on the error channel (named store
     INSTALLATION_INTERNAL_PASTEBOARD) says why, and the result pane shows it:
     3 unsupported character in a path, 4 install manifest missing, 6 product running,
     7 a higher hotfix is installed, 8 no installed platform, 9 the install could not
     be completed or recorded (the path that could not be written). A failed install also
     leaves the empty marker file /tmp/Orrery.hotfix.error.
     Each refusal or failure is also named on standard error in one line:
       patchapply: refused (code N): <meaning>: <detail>   (codes 3, 4, 6, 7, 8)
       patchapply: failed (code 9): <meaning>: <detail>
       patchapply: failed: <what failed>                   (a failed provisioning run)
     A package path without Contents/Resources/hotfix.plist is code 8, with the
     detail "missing settings file <path>". Standard output stays empty.

Trace log: /tmp/install_trace.log, written while the invoking user's preference
com.zantec.rcp.install.mac.traceEnable (domain com.zantec.rcp.install.mac) is true.

Manual: man 8 patchapply, man 7 outcomepane; guides in share/doc/orrery-hotfix.
)";

}  // namespace

int PatchApplyMain(int argc, char** argv) {
  if (const std::optional<int> status =
          answerHelpOrVersion(argc, argv, "patchapply", PATCH_APPLY_HELP)) {
    return *status;
  }
  // Nothing may end the install as an abort: a failure nobody foresaw (memory ran out) ends
  // as a failed install, with an error code that keeps the result pane from showing success.
  try {
    std::optional<StepProgress> progress;
    if (StepProgress::wanted()) progress.emplace("patchapply");
    return runPatchApply(std::vector<std::string>(argv, argv + argc), {},
                         progress ? &*progress : nullptr);
  } catch (const std::exception& error) {
    os::SystemLog::log(os::SystemLog::kError, "The install stopped: %s", error.what());
  } catch (...) {
    os::SystemLog::log(os::SystemLog::kError, "The install stopped.");
  }
  try {
    InstallUtil::sendErrorMessage(makeErrorRecord(kUnexpectedFailure));
    createErrorMarkerFile();
  } catch (...) {
  }
  return 1;
}

}  // namespace rcpinstall
