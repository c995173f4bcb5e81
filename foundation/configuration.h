// Configuration: the hand-off file through which the install program tells the result pane
// where the provisioned platform and its data directory are.
#pragma once

#include <optional>
#include <string>

#include "foundation/properties.h"
#include "os/plist_value.h"

namespace rcpinstall {

inline constexpr const char* CONFIGURATION_FILE =
    "/tmp/com.zantec.rcp.platform.internal.configuration";

// A configuration file that other tools may leave behind; the install program and the result
// pane remove it.
inline constexpr const char* QEL_CONFIG_FILE = "/tmp/qel.config";

inline constexpr const char* P_RCPDATA = "P_RCPDATA";
inline constexpr const char* KEY_PATH_TO_RCP_HOME = "pathToRcpHome";

class Configuration {
 public:
  // Loads the hand-off file. The file lives in a shared directory, so only a regular file at
  // the name itself is read (a link is not followed, a FIFO does not block), and only when
  // root or this run's users made it. Anything else there (another user's file is not this
  // install's outcome), or a file that is not a property list with a dictionary at its root,
  // gives an empty configuration, and saving replaces it.
  explicit Configuration(const std::string& file = CONFIGURATION_FILE);

  std::optional<os::PlistValue> getPropertyValueForKey(const std::optional<std::string>& key) const;
  // The value under the key when it is a string; none otherwise.
  std::optional<std::string> getStringValueForKey(const std::optional<std::string>& key) const;
  // An absent value removes the key's entry.
  void setProperty(std::optional<os::PlistValue> value, const std::optional<std::string>& key);

  // Writes the entries to the hand-off file as a fresh file of this process (mode 0644), made
  // without a name and linked in place of whatever was at the name (never a directory, never
  // written into). False when the write failed.
  bool saveConfiguration();
  // Deletes the hand-off file (whatever entry is at the name) and empties the configuration.
  void cleanupConfiguration();

 private:
  Properties _internalProperties;
  std::string _file;
};

}  // namespace rcpinstall
