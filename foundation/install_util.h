// Installer utilities: tracing, locale, error channel, location check, paths, processes, files.
#pragma once

#include "os/root.h"

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "os/plist_value.h"

namespace rcpinstall {

// Names of the error channel and its record.
inline constexpr const char* INTERNAL_PASTEBOARD_NAME = "INSTALLATION_INTERNAL_PASTEBOARD";
inline constexpr const char* ERROR_MESSAGE_TYPE = "ERROR_MESSAGE";
inline constexpr const char* ERROR_CODE = "ERROR_CODE";
inline constexpr const char* ERROR_DETAILS = "ERROR_DETAILS";
// Beside the channel, in the same per-user directory: what the last code concerns, so that a
// reader can tell which product it belongs to (the channel itself is per user).
inline constexpr const char* ERROR_CONTEXT_STORE_NAME = "INSTALLATION_INTERNAL_PASTEBOARD_CONTEXT";
inline constexpr const char* ERROR_CONTEXT_TYPE = "ERROR_CONTEXT";
inline constexpr const char* ERROR_CONTEXT_DESTINATION = "destination";
inline constexpr const char* ERROR_CONTEXT_RCP_HOME = "rcpHome";
inline constexpr const char* ERROR_CONTEXT_TIME = "time";

inline constexpr const char* TRACE_DOMAIN = "com.zantec.rcp.install.mac";
inline constexpr const char* TRACE_KEY = "com.zantec.rcp.install.mac.traceEnable";
inline constexpr const char* TRACE_LOG_PATH = "/tmp/install_trace.log";
inline constexpr const char* LOCALE_KEY = "AppleLocale";
inline constexpr const char* DEFAULT_LOCALE = "en_US";

// The error codes a record can carry.
enum ErrorCode : int {
  kNoError = 0,
  kUpgradeFoundHigherVersion = 1,
  kInvalidInstallLocation = 2,
  kUnsupportedCharacters = 3,
  kInstallFileNotFound = 4,
  kFoundOtherInstance = 5,
  kInstanceIsRunning = 6,
  kHotfixFoundHigherVersion = 7,
  kInstalledPlatformNotFound = 8,
  // The install could not be completed or recorded (a file that could not be written or
  // removed; its path is the one detail, which the pane's message shows).
  kInstallNotCompleted = 9,
  // A failure nobody foresaw (memory ran out) stopped the install; no detail. The pane shows
  // the unexpected-failure message, as for every code it does not know.
  kUnexpectedFailure = -1,
};

// A fresh error record: a dictionary with ERROR_CODE and ERROR_DETAILS.
os::PlistValue makeErrorRecord(int code, const std::vector<std::string>& details = {});

// What a code on the error channel concerns: the install destination and the rcp home, when
// known. Written with every record sent and every reset (then none: the reset concerns no
// product), with the time.
struct ErrorContext {
  std::optional<std::string> destination;
  std::optional<std::string> rcpHome;
};

namespace InstallUtil {

// Characters refused in an install location; the colon is refused as well (it can only occur
// inside a path component, where the target system's file names cannot hold it).
inline constexpr std::string_view UNSUPPORTED_CHARACTER_SET = "!\"';\\#%|=?";

// Diagnostics.
bool shouldWriteTraces();
void setupTraceOutput();
// Opens the trace log and attaches it when tracing is on; answers the descriptor or -1.
// Entry routines pair it with closeTraceOutput at the end of their run.
int openTraceOutput(const std::string& path = TRACE_LOG_PATH);
void closeTraceOutput(int fd);
std::string getCurrentLocale();
// The error channel lives in the invoking user's pasteboard directory; storeDirectory
// overrides that directory (tests use a scratch directory).
void initInternalPasteboard(bool writeResetRecord,
                            const std::optional<std::string>& storeDirectory = std::nullopt,
                            const ErrorContext& context = {});
void sendErrorMessage(const std::optional<os::PlistValue>& record,
                      const std::optional<std::string>& storeDirectory = std::nullopt,
                      const ErrorContext& context = {});
// Called with each record sendErrorMessage publishes, whether or not the channel could keep
// it; none by default. The install program's entry routine sets one to tell the person who
// started it why it stopped; an empty function ends it.
void observeErrorMessages(std::function<void(const os::PlistValue& record)> observer);
std::optional<os::PlistValue> getErrorMessage(
    const std::optional<std::string>& storeDirectory = std::nullopt);
// Writes what the code on the channel concerns, without changing the code (once a run knows
// the product its reset code 0 stands for).
void setErrorContext(const ErrorContext& context,
                     const std::optional<std::string>& storeDirectory = std::nullopt);
// The record of ERROR_CONTEXT_STORE_NAME: "destination" and "rcpHome" (texts, each only when
// known) and "time" (a date); none when nothing is stored.
std::optional<os::PlistValue> getErrorContext(
    const std::optional<std::string>& storeDirectory = std::nullopt);
bool containUnSupportedCharacters(const std::optional<std::string>& path);
// Reads a preference value as a boolean the way the trace switch does.
bool readsAsTrue(const os::PlistValue& value);

// Paths.
std::string getPathToMPKGThrough(const std::string& path);
std::string getInstallerRootThrough(const std::string& path);
std::optional<std::string> getBundlePath(const std::optional<std::string>& path);
bool hasPrefixCaseInsensitive(const std::optional<std::string>& text, const std::string& prefix);
void replacePackageVariableWith(const std::optional<std::string>& replacement,
                                os::PlistDictionary& properties);

// Processes and files.
std::vector<std::string> getAllProcess();
bool checkBundleIsRunning(const std::string& bundlePath);
// Gives every entry below the directory the standard owner (or the owner given), group
// "admin" and mode 0775.
bool changeAttributesForDirectory(const std::optional<os::Location>& path,
                                  const std::optional<std::string>& owner = std::nullopt);
void copyFolderFrom(const std::optional<os::Location>& from, const std::optional<os::Location>& to);
void startProvisionWithArgs(const std::string& commandLine);
std::string generateNewManifestVersion();
std::string processDate(const std::string& text);

// The invoking user for ownership (os::invokingUserName: USER, else the real user's name).
std::optional<std::string> standardOwner();
inline constexpr const char* STANDARD_GROUP = "admin";
inline constexpr unsigned STANDARD_MODE = 0775;

}  // namespace InstallUtil
}  // namespace rcpinstall
