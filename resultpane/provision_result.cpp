#include "resultpane/provision_result.h"

#include <cctype>
#include <climits>
#include <filesystem>
#include <string_view>
#include <system_error>
#include <utility>

#include "foundation/install_util.h"
#include "foundation/java_properties.h"
#include "foundation/string_util.h"
#include "os/atomic_file.h"
#include "os/file_system.h"
#include "os/path.h"
#include "os/shared_files.h"
#include "os/system_log.h"
#include "os/utf8.h"

namespace rcpinstall {

namespace {

namespace fs = os::FileSystem;

// Removes a file or link without following it. True when nothing is left at the path; a
// directory is not a result file and stays.
bool removeFileEntry(const std::string& path) {
  std::error_code error;
  const std::filesystem::file_status status = std::filesystem::symlink_status(path, error);
  if (error || !std::filesystem::exists(status)) return !fs::entryExists(path);
  if (std::filesystem::is_directory(status)) return false;
  std::filesystem::remove(path, error);
  return !fs::entryExists(path);
}

// Whether the result file is one the install's own people left: a file, no link, of root, this
// run's users, or the account the launcher ran as (the rcp home's owner). Anything else could
// be another user's word for success and counts as no result.
bool madeByTheRun(const std::string& result, const std::string& rcpHome) {
  const std::optional<fs::EntryAttributes> entry = fs::entryAttributes(result);
  const std::optional<fs::EntryAttributes> home = fs::entryAttributes(rcpHome);
  if (entry && !entry->isLink &&
      (os::isOwnedByThisRunsUsers(entry->owner) || (home && entry->owner == home->owner))) {
    return true;
  }
  os::SystemLog::log(os::SystemLog::kWarning, "Not reading %s: another user may have made it",
                     result.c_str());
  return false;
}

// The texts of an error record's details, in order; a number stands as its decimal text,
// anything else as the empty text, so that later details keep their places.
std::vector<std::string> detailsOf(const os::PlistValue& record) {
  std::vector<std::string> details;
  const os::PlistValue* value = record.find(ERROR_DETAILS);
  const os::PlistArray* entries = value != nullptr ? value->asArray() : nullptr;
  if (entries == nullptr) return details;
  for (const os::PlistValue& entry : *entries) {
    if (const std::string* text = entry.asString()) {
      details.push_back(*text);
    } else if (const int64_t* number = entry.asInteger()) {
      details.push_back(std::to_string(*number));
    } else {
      details.emplace_back();
    }
  }
  return details;
}

// The error code of a record; none when it has none or it is not a number.
std::optional<long long> errorCodeOf(const os::PlistValue& record) {
  const os::PlistValue* value = record.find(ERROR_CODE);
  if (value == nullptr) return std::nullopt;
  if (const int64_t* number = value->asInteger()) return *number;
  if (const double* number = value->asReal()) {
    if (*number > -9.2e18 && *number < 9.2e18) return static_cast<long long>(*number);
    return LLONG_MAX;
  }
  return std::nullopt;
}

}  // namespace

ProvisionResult::ProvisionResult(const os::Bundle* bundle, ProvisionSources sources)
    : _bundle(bundle), _sources(std::move(sources)) {
  const Configuration configuration(_sources.configurationFile);

  if (const std::optional<std::string> data = configuration.getStringValueForKey(P_RCPDATA);
      data && fs::isDirectory(os::expandTilde(*data))) {
    // The directory test expands "~"; the log path keeps the value as stored.
    const std::string log = os::appendComponent(os::appendComponent(*data, LOG_DIR), PROVISION_LOG);
    if (fs::exists(log)) _provisionLogFile = log;
  }

  if (const std::optional<std::string> rcpHome =
          configuration.getStringValueForKey(KEY_PATH_TO_RCP_HOME);
      rcpHome && fs::isDirectory(os::expandTilde(*rcpHome))) {
    const std::string result =
        os::appendComponent(os::deletingLastComponent(*rcpHome), PROVISION_RC_FILE);
    if (fs::exists(result) && madeByTheRun(result, os::expandTilde(*rcpHome))) {
      _provisionRCFile = result;
    }
  }
}

std::string ProvisionResult::localized(const std::string& key) const {
  if (_bundle == nullptr) return key;
  return _bundle->localizedString(key, EMPTY_STRING, TABLE);
}

int ProvisionResult::getResultCode() const {
  if (!_provisionRCFile) return -1;
  return readProvisionResultCode(*_provisionRCFile).value_or(-1);
}

std::string ProvisionResult::errorCodeMessage(long long code,
                                              const std::vector<std::string>& details) const {
  auto bound = [&](const std::string& text) {
    return StringUtil::bindString(text, details).value_or(std::string());
  };
  switch (code) {
    case kUpgradeFoundHigherVersion:
      return bound(localized("upgrade_found_higher_version") + "\n" +
                   localized("upgrade_found_higher_version_continue"));
    // The character list is appended after binding: none of its characters is a placeholder.
    case kInvalidInstallLocation:
      return bound(localized("install_location_invalid_error")) + "\n" + UNSUPPORTED_CHARACTER_LIST;
    case kUnsupportedCharacters:
      return bound(localized("install_location_invalid_allow_nonascii_error")) + "\n" +
             UNSUPPORTED_CHARACTER_LIST;
    case kInstallFileNotFound:
      return bound(localized("install_file_not_found_error"));
    case kFoundOtherInstance:
      return bound(localized("install_found_other_instance"));
    case kInstanceIsRunning:
      return bound(localized("install_instance_is_running"));
    case kHotfixFoundHigherVersion:
      return bound(localized("hotfix_found_higher_version"));
    case kInstalledPlatformNotFound:
      return bound(localized("hotfix_not_found_installed_platform_error"));
    // A message of its own, so that the unexpected-failure message, also shown unbound, has
    // no place for a detail.
    case kInstallNotCompleted:
      return bound(localized("install_not_completed_error"));
    default:
      return bound(localized("provisioning_request_unexpected_failure"));
  }
}

std::string ProvisionResult::getResultString() const {
  if (const std::optional<os::PlistValue> message =
          InstallUtil::getErrorMessage(_sources.pasteboardDirectory)) {
    const std::optional<long long> code = errorCodeOf(*message);
    if (code && *code != 0) return errorCodeMessage(*code, detailsOf(*message));
  }
  switch (getResultCode()) {
    case 0:
      return localized("provisioning_request_success");
    case 2:
      return localized("provisioning_request_partial_results");
    default:
      return localized("provisioning_request_unexpected_failure");
  }
}

std::optional<std::string> finalStatusMessageFromLog(std::string_view log) {
  if (!os::isValidUtf8(log)) return std::nullopt;

  // The log ends with a line feed, so its last line lies between the last two.
  const size_t end = log.rfind('\n');
  if (end == std::string_view::npos) return std::nullopt;
  const size_t previous = end == 0 ? std::string_view::npos : log.rfind('\n', end - 1);
  const size_t start = previous == std::string_view::npos ? 0 : previous + 1;
  std::string_view line = log.substr(start, end - start);
  if (line.ends_with('\r')) line.remove_suffix(1);

  size_t fieldStart = 0;
  for (int field = 0; field < INDEX_OF_STATUS_MESSAGE; ++field) {
    const size_t separator = line.find(';', fieldStart);
    if (separator == std::string_view::npos) return std::nullopt;  // fewer than seven fields
    fieldStart = separator + 1;
  }
  const std::string_view status = line.substr(fieldStart, line.find(';', fieldStart) - fieldStart);

  std::string message = StringUtil::stringByReplacingOccurrencesOfString(status, "|-", "\n\n");
  return StringUtil::stringByReplacingOccurrencesOfString(message, "|", "\n\n");
}

std::string ProvisionResult::getFinalStatusMessage() {
  if (!_provisionLogFile) return EMPTY_STRING;
  const std::optional<std::string> log = os::readWholeFile(*_provisionLogFile);
  if (!log) return EMPTY_STRING;
  return finalStatusMessageFromLog(*log).value_or(EMPTY_STRING);
}

bool ProvisionResult::removeProvisionRC() {
  if (!_provisionRCFile) return true;
  return removeFileEntry(*_provisionRCFile);
}

bool ProvisionResult::removeConfigurationFile() {
  return os::removeSharedEntry(_sources.leftoverConfigurationFile);
}

}  // namespace rcpinstall
