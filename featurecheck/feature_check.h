// The feature check tool featurecheck: which version of a feature a platform instance records.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "foundation/install_util.h"
#include "foundation/register_file.h"

namespace rcpinstall {

inline constexpr const char* PRODUCT_NAME_OPTION = "-productname";
inline constexpr const char* RCPHOME_OPTION = "-rcphome";
inline constexpr const char* INSTALL_FEATURE_ID_OPTION = "-installfeatureID";
inline constexpr const char* FEATURE_ID_OPTION = "-featureID";

// Where an installed product lives when its registry does not say; APP_NAME_VAR stands for the
// product name.
inline constexpr const char* DEFAULT_APPLICATION_PATH =
    "/Applications/#APP_NAME_VAR#.app/Contents/MacOS";
inline constexpr const char* APP_NAME_VAR = "#APP_NAME_VAR#";
inline constexpr const char* DEFAULT_PRODUCT_NAME = "Orrery";
// Appended to the platform home as it stands, without separator handling.
inline constexpr const char* INSTALL_MANIFEST_SUFFIX = "/rcp/deploy/install.xml";

namespace FeatureCheck {

// The four options, each the value after its first occurrence that has one.
struct Options {
  std::optional<std::string> productName;
  std::optional<std::string> rcpHome;
  std::optional<std::string> installFeatureID;
  std::optional<std::string> featureID;
};
Options readOptions(const std::vector<std::string>& arguments);
// The arguments after argv[0] that begin with "-" and that the option lookup neither reads as
// an option nor takes as a value: misspelled or unknown options, in order.
std::vector<std::string> unknownOptions(const std::vector<std::string>& arguments);

// Fixed places the tool reads; tests give their own.
struct Locations {
  std::string registerDirectory = REGISTER_DIRECTORY;
  std::string defaultApplicationPath = DEFAULT_APPLICATION_PATH;
  std::string traceLogPath = TRACE_LOG_PATH;
};

// The platform home, the directory that holds "rcp": the "-rcphome" value as given; else the
// registry's old install location when <location>/rcp exists; else the default application
// path for the product when that directory exists. Without a product name the product is
// "Orrery", for the registry as for the default path. None when nothing is found.
std::optional<std::string> locatePlatformHome(const Options& options,
                                              const Locations& locations = {});

// The platform home followed directly by "/rcp/deploy/install.xml".
std::string manifestPath(const std::string& platformHome);

// The text the tool prints: the recorded version, "-1" when the manifest records no such
// feature (or there is no manifest), and the empty text when the matching element has no
// version.
std::string answer(const Options& options, const Locations& locations = {});

// The whole run on the arguments (argv[0] first): the answer written to standard output
// without a line end, the trace log kept around it. Answers the exit status, always 0.
int run(const std::vector<std::string>& arguments, const Locations& locations = {});

}  // namespace FeatureCheck

// The tool's entry routine.
int FeatureCheckMain(int argc, char** argv);

}  // namespace rcpinstall
