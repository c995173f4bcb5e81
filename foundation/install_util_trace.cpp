// The diagnostic side of InstallUtil: trace switch and log, locale, error channel, location check.

#include <chrono>
#include <string_view>

#include "foundation/install_util.h"
#include "os/named_store.h"
#include "os/shared_files.h"
#include "os/system_log.h"
#include "os/user_identity.h"
#include "os/user_preferences.h"

namespace rcpinstall {
namespace {

// Runs read with the effective user set to the invoking user, so that a tool running as root
// reads the preferences of the person who started it. When that user's account cannot be
// found there is no user id to switch to, and the read runs with the current identity.
// runAsEffectiveUser undoes the switch before it returns, and stops the program when it
// cannot.
template <typename Read>
auto readAsInvokingUser(Read read) -> decltype(read()) {
  std::optional<uid_t> uid;
  if (const std::optional<std::string> name = os::invokingUserName()) {
    uid = os::lookupUserId(*name);
  }
  if (!uid) return read();
  decltype(read()) result{};
  os::runAsEffectiveUser(*uid, [&] { result = read(); });
  return result;
}

os::NamedStore errorChannel(const std::optional<std::string>& storeDirectory) {
  return os::NamedStore(INTERNAL_PASTEBOARD_NAME, storeDirectory);
}

// The seconds between 1970-01-01 and 2001-01-01, the reference date of property-list dates.
constexpr double kPlistDateOffset = 978307200;

// The context store is declared afresh on every write, so that it holds this one record.
void writeErrorContext(const ErrorContext& context,
                       const std::optional<std::string>& storeDirectory) {
  os::PlistDictionary fields;
  if (context.destination) fields.emplace_back(ERROR_CONTEXT_DESTINATION, *context.destination);
  if (context.rcpHome) fields.emplace_back(ERROR_CONTEXT_RCP_HOME, *context.rcpHome);
  const double now =
      std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
  fields.emplace_back(ERROR_CONTEXT_TIME, os::PlistDate{now - kPlistDateOffset});
  os::NamedStore store(ERROR_CONTEXT_STORE_NAME, storeDirectory);
  if (!store.declareTypes({ERROR_CONTEXT_TYPE}) ||
      !store.setPropertyList(os::PlistValue(std::move(fields)), ERROR_CONTEXT_TYPE)) {
    os::SystemLog::log(os::SystemLog::kError, "Cannot write the pasteboard %s",
                       ERROR_CONTEXT_STORE_NAME);
  }
}

std::function<void(const os::PlistValue&)>& errorMessageObserver() {
  static std::function<void(const os::PlistValue&)> observer;
  return observer;
}

}  // namespace

os::PlistValue makeErrorRecord(int code, const std::vector<std::string>& details) {
  os::PlistArray detailValues;
  detailValues.reserve(details.size());
  for (const std::string& detail : details) detailValues.emplace_back(detail);
  return os::PlistValue(os::PlistDictionary{
      {ERROR_CODE, os::PlistValue(static_cast<int64_t>(code))},
      {ERROR_DETAILS, os::PlistValue(std::move(detailValues))},
  });
}

namespace InstallUtil {

bool readsAsTrue(const os::PlistValue& value) {
  if (const bool* flag = value.asBoolean()) return *flag;
  if (const int64_t* number = value.asInteger()) return *number != 0;
  if (const double* number = value.asReal()) return *number != 0;
  if (const std::string* text = value.asString()) {
    if (text->empty()) return false;
    const char first = text->front();
    return first == 'Y' || first == 'y' || first == 'T' || first == 't' ||
           (first >= '1' && first <= '9');
  }
  return false;
}

bool shouldWriteTraces() {
  return readAsInvokingUser([]() -> bool {
    const std::optional<os::PlistValue> domain = os::persistentDomain(TRACE_DOMAIN);
    if (!domain) return false;
    const os::PlistValue* value = domain->find(TRACE_KEY);
    return value != nullptr && readsAsTrue(*value);
  });
}

int openTraceOutput(const std::string& path) {
  if (!shouldWriteTraces()) return -1;
  // A link, FIFO or directory planted at the fixed name, or a file of another user than root
  // and the invoking one, is refused: tracing is then off for this run rather than writing
  // into someone else's file.
  const int fd = os::openRegularFileTruncated(path);
  if (fd >= 0) os::SystemLog::addLogFile(fd);
  return fd;
}

void setupTraceOutput() {
  openTraceOutput(TRACE_LOG_PATH);
}

void closeTraceOutput(int fd) {
  if (fd < 0) return;
  os::SystemLog::removeLogFile(fd);
  os::closeFile(fd);
}

std::string getCurrentLocale() {
  std::optional<std::string> locale = readAsInvokingUser([]() -> std::optional<std::string> {
    const std::optional<os::PlistValue> value = os::standardPreference(LOCALE_KEY);
    if (!value) return std::nullopt;
    const std::string* text = value->asString();
    if (text == nullptr) return std::nullopt;
    return *text;
  });
  // An empty identifier would reach the launcher as an empty "-nl" argument; it counts as
  // no locale set.
  if (!locale || locale->empty()) return DEFAULT_LOCALE;
  return *locale;
}

void initInternalPasteboard(bool writeResetRecord, const std::optional<std::string>& storeDirectory,
                            const ErrorContext& context) {
  os::NamedStore store = errorChannel(storeDirectory);
  if (!store.declareTypes({ERROR_MESSAGE_TYPE})) {
    os::SystemLog::log(os::SystemLog::kError, "Cannot prepare the pasteboard %s",
                       INTERNAL_PASTEBOARD_NAME);
    return;
  }
  if (writeResetRecord && !store.setPropertyList(makeErrorRecord(kNoError), ERROR_MESSAGE_TYPE)) {
    os::SystemLog::log(os::SystemLog::kError, "Cannot write the error message to the pasteboard %s",
                       INTERNAL_PASTEBOARD_NAME);
  }
  if (writeResetRecord) writeErrorContext(context, storeDirectory);
}

void sendErrorMessage(const std::optional<os::PlistValue>& record,
                      const std::optional<std::string>& storeDirectory,
                      const ErrorContext& context) {
  if (!record) return;
  if (errorMessageObserver()) errorMessageObserver()(*record);
  if (!errorChannel(storeDirectory).setPropertyList(*record, ERROR_MESSAGE_TYPE)) {
    os::SystemLog::log(os::SystemLog::kError, "Cannot write the error message to the pasteboard %s",
                       INTERNAL_PASTEBOARD_NAME);
  }
  writeErrorContext(context, storeDirectory);
}

void setErrorContext(const ErrorContext& context,
                     const std::optional<std::string>& storeDirectory) {
  writeErrorContext(context, storeDirectory);
}

std::optional<os::PlistValue> getErrorContext(const std::optional<std::string>& storeDirectory) {
  return os::NamedStore(ERROR_CONTEXT_STORE_NAME, storeDirectory)
      .propertyListForType(ERROR_CONTEXT_TYPE);
}

void observeErrorMessages(std::function<void(const os::PlistValue& record)> observer) {
  errorMessageObserver() = std::move(observer);
}

std::optional<os::PlistValue> getErrorMessage(const std::optional<std::string>& storeDirectory) {
  return errorChannel(storeDirectory).propertyListForType(ERROR_MESSAGE_TYPE);
}

bool containUnSupportedCharacters(const std::optional<std::string>& path) {
  if (!path || path->empty()) return false;
  return path->find_first_of(UNSUPPORTED_CHARACTER_SET) != std::string::npos ||
         path->find(':') != std::string::npos;
}

}  // namespace InstallUtil
}  // namespace rcpinstall
