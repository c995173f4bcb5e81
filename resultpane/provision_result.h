// ProvisionResult: the outcome of an install as the result pane tells it, read from the error
// channel, the provisioning result file and the provisioning log's last status line.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/configuration.h"
#include "foundation/install_util.h"
#include "foundation/provisioning_result_file.h"
#include "os/bundle.h"

namespace rcpinstall {

inline constexpr const char* TABLE = "Provision";
inline constexpr const char* LOG_DIR = "logs";
inline constexpr const char* PROVISION_LOG = "provisioning.log";
inline constexpr int INDEX_OF_STATUS_MESSAGE = 6;
// The leftover configuration file removed when the pane is left.
inline constexpr const char* CONFIGURATION = QEL_CONFIG_FILE;
inline constexpr const char* EMPTY_STRING = "";
// The characters an install location must not hold, shown after the location messages: those
// the location check refuses, and the path separator.
inline const std::string UNSUPPORTED_CHARACTER_LIST =
    std::string(InstallUtil::UNSUPPORTED_CHARACTER_SET) + "/";

// Where the outcome sources are. The defaults are the fixed places every install uses; tests
// point them into a scratch directory.
struct ProvisionSources {
  std::string configurationFile = CONFIGURATION_FILE;  // the hand-off from the install program
  std::string leftoverConfigurationFile = CONFIGURATION;
  std::optional<std::string> pasteboardDirectory;  // none: the invoking user's
};

// The status field (the seventh, ";"-separated) of a provisioning log's last complete line, its
// "|-" and "|" markers turned into empty lines. None when the text is not UTF-8, has no complete
// line, or that line has fewer than seven fields.
std::optional<std::string> finalStatusMessageFromLog(std::string_view log);

class ProvisionResult {
 public:
  // Resolves the log and the result file through the hand-off file; each path is kept only
  // when its file exists now. Texts come from the table "Provision" of bundle (none: each
  // message shows its key). The bundle must outlive the reader.
  explicit ProvisionResult(const os::Bundle* bundle, ProvisionSources sources = {});

  // The "rc" of the result file read as a leading decimal integer; -1 without a result file,
  // without "rc", or when the value does not begin with a number.
  int getResultCode() const;
  // The localized outcome: the error code on the channel when it is not 0, else the result
  // code.
  std::string getResultString() const;
  // The status field of the log's last complete line, its "|-" and "|" markers turned into
  // empty lines; "" without a log, when it is not UTF-8 text, or when that line has no status
  // field.
  std::string getFinalStatusMessage();

  // Delete the result file found at creation, and the leftover configuration file. Each
  // answers true when nothing is left there; a directory found there is left alone (false).
  bool removeProvisionRC();
  bool removeConfigurationFile();

  const std::optional<std::string>& provisionLogFile() const { return _provisionLogFile; }
  const std::optional<std::string>& provisionRCFile() const { return _provisionRCFile; }

 private:
  std::string localized(const std::string& key) const;
  std::string errorCodeMessage(long long code, const std::vector<std::string>& details) const;

  const os::Bundle* _bundle;
  ProvisionSources _sources;
  std::optional<std::string> _provisionLogFile;
  std::optional<std::string> _provisionRCFile;
};

}  // namespace rcpinstall
