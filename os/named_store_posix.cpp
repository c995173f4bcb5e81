// The named store (pasteboard) as one property-list file per name in a per-user directory.
#include "os/named_store.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "os/atomic_file.h"
#include "os/path.h"
#include "os/shared_files.h"
#include "os/system_log.h"
#include "os/user_identity.h"

namespace rcpinstall::os {

namespace {

constexpr const char* kTypesKey = "types";
constexpr const char* kValuesKey = "values";

uid_t invokingUserId() {
  if (std::optional<std::string> name = invokingUserName()) {
    if (std::optional<uid_t> uid = lookupUserId(*name)) return *uid;
  }
  return ::getuid();
}

// How a store directory is about to be used: a write may make it when missing (the first
// declaration) and narrows its mode to the owner; a read changes nothing.
enum class Use { kRead, kWrite, kCreateAndWrite };

// The store directory, opened once (never through a link) and checked on its descriptor,
// made first when asked and missing; every read and write of the store then goes through that
// descriptor, so that a name exchanged after the check cannot lead them elsewhere. Not open
// when the directory must not be used: it is no directory, or another user's (the system log
// says so).
SharedDirectory usableDirectory(const std::string& directory, Use use) {
  const uid_t user = invokingUserId();
  std::string name;
  bool made = false;
  SharedDirectory store = SharedDirectory::holding(directory, name)
                              .subdirectory(name, use == Use::kCreateAndWrite, &made);
  if (!store.isOpen()) return store;
  if (made && store.owner() != user && ::geteuid() == 0) {
    struct passwd* account = ::getpwuid(user);
    store.setAttributes(user, account != nullptr ? account->pw_gid : store.group(), 0700);
  }
  if (store.owner() != user) {
    SystemLog::log(SystemLog::kWarning, "Not using %s: it belongs to another user (uid %u)",
                   directory.c_str(), static_cast<unsigned>(store.owner()));
    return SharedDirectory(std::string(), false);
  }
  // Only its owner may see or change the records.
  if (use != Use::kRead && !store.setAttributes(std::nullopt, std::nullopt, 0700)) {
    return SharedDirectory(std::string(), false);
  }
  return store;
}

bool isPlainName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}

// The store file: at most a small record, and only one of the directory's owner or root.
constexpr size_t kStoreLimit = size_t{1} << 20;

std::optional<PlistValue> readStore(const SharedDirectory& directory, const std::string& name) {
  std::optional<std::string> bytes = directory.readFile(name, kStoreLimit);
  if (!bytes) return std::nullopt;
  std::optional<PlistValue> store = parsePlist(*bytes);
  if (!store || store->asDictionary() == nullptr) return std::nullopt;
  return store;
}

bool writeStore(SharedDirectory& directory, const std::string& name, const PlistValue& store) {
  const std::string xml = serializePlistXml(store);
  if (xml.empty()) return false;
  ReplacementAttributes attributes;
  attributes.mode = 0600;
  if (::geteuid() == 0) {
    attributes.owner = directory.owner();
    attributes.group = directory.group();
  }
  return directory.replaceFile(name, xml, attributes);
}

bool declares(const PlistValue& store, const std::string& type) {
  const PlistValue* types = store.find(kTypesKey);
  if (types == nullptr || types->asArray() == nullptr) return false;
  const PlistArray& list = *types->asArray();
  return std::any_of(list.begin(), list.end(), [&](const PlistValue& declared) {
    return declared.asString() != nullptr && *declared.asString() == type;
  });
}

}  // namespace

NamedStore::NamedStore(std::string name, std::optional<std::string> directory)
    : name_(std::move(name)), directory_(directory ? *directory : defaultDirectory()) {}

std::string NamedStore::defaultDirectory() {
  return kNamedStoreDirectoryPrefix + std::to_string(invokingUserId());
}

bool NamedStore::declareTypes(const std::vector<std::string>& types) {
  if (!isPlainName(name_)) return false;
  SharedDirectory directory = usableDirectory(directory_, Use::kCreateAndWrite);
  if (!directory.isOpen()) return false;
  PlistArray declared;
  for (const std::string& type : types) {
    if (std::none_of(declared.begin(), declared.end(),
                     [&](const PlistValue& v) { return *v.asString() == type; })) {
      declared.emplace_back(type);
    }
  }
  PlistValue store(PlistDictionary{{kTypesKey, PlistValue(std::move(declared))},
                                   {kValuesKey, PlistValue(PlistDictionary{})}});
  return writeStore(directory, name_, store);
}

bool NamedStore::setPropertyList(const PlistValue& value, const std::string& type) {
  if (!isPlainName(name_)) return false;
  SharedDirectory directory = usableDirectory(directory_, Use::kWrite);
  if (!directory.isOpen()) return false;
  std::optional<PlistValue> store = readStore(directory, name_);
  if (!store || !declares(*store, type)) return false;
  PlistValue* values = store->find(kValuesKey);
  if (values == nullptr || values->asDictionary() == nullptr) {
    store->set(kValuesKey, PlistValue(PlistDictionary{}));
    values = store->find(kValuesKey);
  }
  values->set(type, value);
  return writeStore(directory, name_, *store);
}

std::optional<PlistValue> NamedStore::propertyListForType(const std::string& type) const {
  if (!isPlainName(name_)) return std::nullopt;
  const SharedDirectory directory = usableDirectory(directory_, Use::kRead);
  if (!directory.isOpen()) return std::nullopt;
  std::optional<PlistValue> store = readStore(directory, name_);
  if (!store) return std::nullopt;
  const PlistValue* values = store->find(kValuesKey);
  if (values == nullptr) return std::nullopt;
  const PlistValue* value = values->find(type);
  if (value == nullptr) return std::nullopt;
  return *value;
}

}  // namespace rcpinstall::os
