// The named store (pasteboard) as one property-list file per name in a per-user directory.
#include "os/named_store.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "os/atomic_file.h"
#include "os/path.h"
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

struct DirectoryOwner {
  uid_t uid;
  gid_t gid;
};

// How a store directory is about to be used: a write may make it when missing (the first
// declaration) and narrows its mode to the owner; a read changes nothing.
enum class Use { kRead, kWrite, kCreateAndWrite };

// Checks the store directory, making it first when asked and missing. Answers its owner, or
// none when the directory must not be used.
std::optional<DirectoryOwner> usableDirectory(const std::string& directory, Use use) {
  const bool create = use == Use::kCreateAndWrite;
  const uid_t user = invokingUserId();
  bool created = false;
  struct stat st {};
  if (::lstat(directory.c_str(), &st) != 0) {
    if (errno != ENOENT || !create) return std::nullopt;
    if (::mkdir(directory.c_str(), 0700) == 0) {
      created = true;
    } else if (errno != EEXIST) {
      return std::nullopt;
    }
  }
  // O_NOFOLLOW | O_DIRECTORY: a link or anything but a directory is refused here.
  int fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  bool ok = ::fstat(fd, &st) == 0;
  if (ok && created && st.st_uid != user && ::geteuid() == 0) {
    struct passwd* account = ::getpwuid(user);
    gid_t group = account != nullptr ? account->pw_gid : st.st_gid;
    ok = ::fchown(fd, user, group) == 0 && ::fstat(fd, &st) == 0;
  }
  ok = ok && st.st_uid == user;
  // Only its owner may see or change the records.
  if (ok && use != Use::kRead && (st.st_mode & 07777) != 0700) ok = ::fchmod(fd, 0700) == 0;
  ::close(fd);
  if (!ok) return std::nullopt;
  return DirectoryOwner{st.st_uid, st.st_gid};
}

bool isPlainName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}

std::optional<PlistValue> readStore(const std::string& path) {
  std::optional<std::string> bytes = readSharedRegularFile(path);
  if (!bytes) return std::nullopt;
  std::optional<PlistValue> store = parsePlist(*bytes);
  if (!store || store->asDictionary() == nullptr) return std::nullopt;
  return store;
}

bool writeStore(const std::string& path, const PlistValue& store, const DirectoryOwner& owner) {
  ReplacementAttributes attributes;
  attributes.mode = 0600;
  if (::geteuid() == 0) {
    attributes.owner = owner.uid;
    attributes.group = owner.gid;
  }
  return writePlistFile(path, store, attributes);
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
  std::optional<DirectoryOwner> owner = usableDirectory(directory_, Use::kCreateAndWrite);
  if (!owner) return false;
  PlistArray declared;
  for (const std::string& type : types) {
    if (std::none_of(declared.begin(), declared.end(),
                     [&](const PlistValue& v) { return *v.asString() == type; })) {
      declared.emplace_back(type);
    }
  }
  PlistValue store(PlistDictionary{{kTypesKey, PlistValue(std::move(declared))},
                                   {kValuesKey, PlistValue(PlistDictionary{})}});
  return writeStore(appendComponent(directory_, name_), store, *owner);
}

bool NamedStore::setPropertyList(const PlistValue& value, const std::string& type) {
  if (!isPlainName(name_)) return false;
  std::optional<DirectoryOwner> owner = usableDirectory(directory_, Use::kWrite);
  if (!owner) return false;
  const std::string path = appendComponent(directory_, name_);
  std::optional<PlistValue> store = readStore(path);
  if (!store || !declares(*store, type)) return false;
  PlistValue* values = store->find(kValuesKey);
  if (values == nullptr || values->asDictionary() == nullptr) {
    store->set(kValuesKey, PlistValue(PlistDictionary{}));
    values = store->find(kValuesKey);
  }
  values->set(type, value);
  return writeStore(path, *store, *owner);
}

std::optional<PlistValue> NamedStore::propertyListForType(const std::string& type) const {
  if (!isPlainName(name_)) return std::nullopt;
  if (!usableDirectory(directory_, Use::kRead)) return std::nullopt;
  std::optional<PlistValue> store = readStore(appendComponent(directory_, name_));
  if (!store) return std::nullopt;
  const PlistValue* values = store->find(kValuesKey);
  if (values == nullptr) return std::nullopt;
  const PlistValue* value = values->find(type);
  if (value == nullptr) return std::nullopt;
  return *value;
}

}  // namespace rcpinstall::os
