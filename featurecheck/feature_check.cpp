// The feature check tool featurecheck: which version of a feature a platform instance records.
#include "featurecheck/feature_check.h"

#include <cstdio>
#include <exception>

#include "foundation/command_line.h"
#include "foundation/install_manifest.h"
#include "foundation/program_info.h"
#include "foundation/string_util.h"
#include "os/file_system.h"
#include "os/path.h"
#include "os/system_log.h"

namespace rcpinstall::FeatureCheck {

namespace fs = os::FileSystem;

Options readOptions(const std::vector<std::string>& arguments) {
  return Options{
      getValueByKey(arguments, PRODUCT_NAME_OPTION),
      getValueByKey(arguments, RCPHOME_OPTION),
      getValueByKey(arguments, INSTALL_FEATURE_ID_OPTION),
      getValueByKey(arguments, FEATURE_ID_OPTION),
  };
}

std::vector<std::string> unknownOptions(const std::vector<std::string>& arguments) {
  // The arguments the option lookup takes: each option's first occurrence that has a value,
  // and that value.
  std::vector<bool> taken(arguments.size(), false);
  for (const char* option :
       {PRODUCT_NAME_OPTION, RCPHOME_OPTION, INSTALL_FEATURE_ID_OPTION, FEATURE_ID_OPTION}) {
    for (size_t i = 0; i + 1 < arguments.size(); ++i) {
      if (arguments[i] == option) {
        taken[i] = taken[i + 1] = true;
        break;
      }
    }
  }
  std::vector<std::string> unknown;
  for (size_t i = 1; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    if (taken[i] || argument.size() < 2 || argument[0] != '-') continue;
    if (argument == PRODUCT_NAME_OPTION || argument == RCPHOME_OPTION ||
        argument == INSTALL_FEATURE_ID_OPTION || argument == FEATURE_ID_OPTION) {
      continue;  // a known option repeated, or in last position: the lookup passes it over
    }
    unknown.push_back(argument);
  }
  return unknown;
}

std::optional<std::string> locatePlatformHome(const Options& options, const Locations& locations) {
  if (options.rcpHome) return options.rcpHome;

  const std::string product = options.productName.value_or(DEFAULT_PRODUCT_NAME);
  const RegisterFile registry(product, locations.registerDirectory);
  if (const std::optional<std::string> rcpHome = registry.getPathToRcpHome()) {
    if (fs::exists(*rcpHome)) return os::deletingLastComponent(*rcpHome);
  }

  // The default application path is itself the platform home, as for the removal tool.
  std::string applicationPath = StringUtil::stringByReplacingOccurrencesOfString(
      locations.defaultApplicationPath, APP_NAME_VAR, product);
  if (fs::isDirectory(applicationPath)) return applicationPath;
  return std::nullopt;
}

std::string manifestPath(const std::string& platformHome) {
  return platformHome + INSTALL_MANIFEST_SUFFIX;
}

std::string answer(const Options& options, const Locations& locations) {
  const std::optional<std::string> platformHome = locatePlatformHome(options, locations);
  // An empty home names no directory; joined to the suffix it would name the root's "rcp".
  if (!platformHome || platformHome->empty()) return FEATURE_NOT_FOUND;
  const InstallManifest manifest(manifestPath(*platformHome));
  // A matching element without a version is recorded all the same: it must not read as "-1".
  return manifest.checkInstalledFeature(options.installFeatureID, options.featureID)
      .value_or(std::string());
}

int run(const std::vector<std::string>& arguments, const Locations& locations) {
  const Options options = readOptions(arguments);
  // The answer and the status stay what scripts rely on; a misspelled option is only named,
  // so that a person sees why the answer is "-1".
  for (const std::string& option : unknownOptions(arguments)) {
    std::fprintf(stderr, "featurecheck: unknown option %s (ignored)\n", option.c_str());
  }
  const int trace = InstallUtil::openTraceOutput(locations.traceLogPath);

  const std::string text = answer(options, locations);
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);

  InstallUtil::closeTraceOutput(trace);
  return 0;
}

}  // namespace rcpinstall::FeatureCheck

namespace rcpinstall {

namespace {

constexpr const char* FEATURE_CHECK_HELP =
    R"(usage: featurecheck [-productname <name>] [-rcphome <platform home>]
                    [-installfeatureID <id>] [-featureID <id>]
       featurecheck --help | --version

Prints the version that the platform's install manifest
<platform home>/rcp/deploy/install.xml records for a feature, without a line end, or -1
when it records none (or there is no manifest).

  -productname <name>       the product, for the registry and the default location
                            /Applications/<name>.app/Contents/MacOS (default Orrery)
  -rcphome <platform home>  the directory that holds rcp; default: the registry's
                            location of the product, else the default location
  -installfeatureID <id>    an install feature to look up
  -featureID <id>           a feature to look up; when given, -installfeatureID is not
                            looked at
Each option takes the argument after its first occurrence, whatever it looks like.
Option names are case-sensitive. An argument that begins with "-" and is neither one
of these options nor the value of one is named on standard error, in a line such as
  featurecheck: unknown option -installFeatureID (ignored)
The answer and the status stay the same.

Exit status: always 0; the printed text is the answer.

Trace log: /tmp/install_trace.log, written while the invoking user's preference
com.zantec.rcp.install.mac.traceEnable (domain com.zantec.rcp.install.mac) is true.

Manual: man 1 featurecheck; guides in share/doc/orrery-hotfix.
)";

}  // namespace

int FeatureCheckMain(int argc, char** argv) {
  if (const std::optional<int> status =
          answerHelpOrVersion(argc, argv, "featurecheck", FEATURE_CHECK_HELP)) {
    return *status;
  }
  // A failure nobody foresaw ends as a failed check, never as an abort.
  try {
    return FeatureCheck::run(std::vector<std::string>(argv, argv + argc));
  } catch (const std::exception& error) {
    os::SystemLog::log(os::SystemLog::kError, "featurecheck stopped: %s", error.what());
  } catch (...) {
    os::SystemLog::log(os::SystemLog::kError, "featurecheck stopped.");
  }
  return 1;
}

}  // namespace rcpinstall
