// User preferences read from property-list files (POSIX implementation).
#include "os/user_preferences.h"

#include <unistd.h>

#include "os/path.h"
#include "os/user_identity.h"

namespace rcpinstall::os {

namespace {

// The home of the effective user now, from the password database: after a switch of the
// effective user this is that user's home, whatever HOME says.
std::optional<std::string> effectiveHome(const std::optional<std::string>& home) {
  if (home) return home;
  return homeDirectoryOfUser(::geteuid());
}

std::optional<PlistValue> readDictionary(const std::string& path) {
  std::optional<PlistValue> value = readPlistFile(path);
  if (!value || value->asDictionary() == nullptr) return std::nullopt;
  return value;
}

std::optional<std::string> preferencesFile(const std::optional<std::string>& home,
                                           const std::string& fileName) {
  std::optional<std::string> base = effectiveHome(home);
  if (!base || base->empty()) return std::nullopt;
  return appendComponent(appendComponent(appendComponent(*base, "Library"), "Preferences"),
                         fileName);
}

}  // namespace

std::optional<PlistValue> persistentDomain(const std::string& domain,
                                           const std::optional<std::string>& home) {
  if (domain.empty() || domain.find('/') != std::string::npos) return std::nullopt;
  std::optional<std::string> path = preferencesFile(home, domain + ".plist");
  if (!path) return std::nullopt;
  return readDictionary(*path);
}

std::optional<PlistValue> standardPreference(const std::string& key,
                                             const std::optional<std::string>& home,
                                             const std::string& systemGlobalFile) {
  std::optional<std::string> userGlobal = preferencesFile(home, ".GlobalPreferences.plist");
  for (const std::optional<std::string>& path :
       {userGlobal, std::optional<std::string>(systemGlobalFile)}) {
    if (!path) continue;
    std::optional<PlistValue> domain = readDictionary(*path);
    if (!domain) continue;
    if (const PlistValue* value = domain->find(key)) return *value;
  }
  return std::nullopt;
}

}  // namespace rcpinstall::os
