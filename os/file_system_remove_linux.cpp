// Deleting files and trees on POSIX, through directory descriptors, never following a link.
#include "os/file_system.h"
#include "os/posix_support.h"

namespace rcpinstall::os {
namespace posix {
namespace {

bool removeDirectoryAt(int directory, const char* name) {
  Listing listing(openat(directory, name, kDirectoryFlags));
  if (!listing) return errno == ENOENT;
  // Another pass only when the directory still holds entries the first pass did not see.
  for (int pass = 0; pass < 3; ++pass) {
    if (pass > 0 && !listing.rewind()) return false;
    bool ok = true;
    while (const dirent64* entry = listing.next()) {
      if (!removeEntryAt(listing.fd(), entry->d_name, entry->d_type)) ok = false;
    }
    if (listing.failed()) ok = false;
    if (unlinkat(directory, name, AT_REMOVEDIR) == 0 || errno == ENOENT) return true;
    if (!ok || (errno != ENOTEMPTY && errno != EEXIST)) return false;
  }
  return false;
}

}  // namespace

bool removeEntryAt(int directory, const char* name, unsigned char type) {
  // Most entries are files; a directory answers EISDIR.
  if (type != DT_DIR) {
    if (unlinkat(directory, name, 0) == 0 || errno == ENOENT) return true;
    if (errno != EISDIR) return false;
  }
  return removeDirectoryAt(directory, name);
}

}  // namespace posix

namespace FileSystem {

namespace {

bool removeItem(const Location& path, bool synced) {
  posix::EntryAt entry;
  if (!posix::openParent(path, entry)) return false;
  struct stat status;
  if (fstatat(entry.directory.get(), entry.name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0)
    return false;
  // A removed tree's own directories need no sync: once the top is gone from its parent, and
  // that is synced, nothing of it is found again.
  return posix::removeEntryAt(entry.directory.get(), entry.name.c_str(),
                              S_ISDIR(status.st_mode) ? DT_DIR : DT_REG) &&
         (!synced || posix::syncDirectory(entry.directory.get()));
}

}  // namespace

bool removeItem(const Location& path) {
  return removeItem(path, false);
}

bool removeItemDurably(const Location& path) {
  return removeItem(path, true);
}

}  // namespace FileSystem
}  // namespace rcpinstall::os
