// Directory loans and root's records on Linux: POSIX access-control lists set through their
// extended attribute (no library needed), records in the trusted namespace, which only a
// process with administrator powers can read or write.
#include "os/directory_loan.h"

#include <sys/xattr.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "os/posix_support.h"

namespace rcpinstall::os {
namespace {

constexpr const char* kRecordPrefix = "trusted.rcpinstall.";
constexpr const char* kLoanRecord = "lent";
constexpr const char* kAccessAcl = "system.posix_acl_access";

// The layout of an access-control list as the kernel takes it in the extended attribute:
// a version word, then entries of tag, permissions and id (little-endian).
constexpr uint32_t kAclVersion = 2;
// (Tag 0x08, a named group's entry, is kept as found and never written.)
constexpr uint16_t kUserObj = 0x01, kUser = 0x02, kGroupObj = 0x04, kMask = 0x10, kOther = 0x20;
constexpr uint32_t kNoId = 0xffffffffu;

struct AclEntry {
  uint16_t tag;
  uint16_t perm;
  uint32_t id;
};

void put(std::string& out, uint32_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xff));
}

uint32_t get(const std::string& in, size_t at, int bytes) {
  uint32_t value = 0;
  for (int i = 0; i < bytes; ++i)
    value |= static_cast<uint32_t>(static_cast<unsigned char>(in[at + i])) << (8 * i);
  return value;
}

std::optional<std::vector<AclEntry>> parseAcl(const std::string& bytes) {
  if (bytes.size() < 4 || (bytes.size() - 4) % 8 != 0 || get(bytes, 0, 4) != kAclVersion)
    return std::nullopt;
  std::vector<AclEntry> entries;
  for (size_t at = 4; at < bytes.size(); at += 8) {
    entries.push_back({static_cast<uint16_t>(get(bytes, at, 2)),
                       static_cast<uint16_t>(get(bytes, at + 2, 2)), get(bytes, at + 4, 4)});
  }
  return entries;
}

// The order the kernel requires: owner, named users by id, owning group, named groups by id,
// mask, others.
std::string encodeAcl(std::vector<AclEntry> entries) {
  std::sort(entries.begin(), entries.end(), [](const AclEntry& a, const AclEntry& b) {
    return a.tag != b.tag ? a.tag < b.tag : a.id < b.id;
  });
  std::string out;
  put(out, kAclVersion, 4);
  for (const AclEntry& entry : entries) {
    put(out, entry.tag, 2);
    put(out, entry.perm, 2);
    put(out, entry.id, 4);
  }
  return out;
}

std::string toHex(const std::string& bytes) {
  std::string out;
  char pair[3];
  for (unsigned char c : bytes) {
    std::snprintf(pair, sizeof pair, "%02x", c);
    out += pair;
  }
  return out;
}

std::optional<std::string> fromHex(const std::string& text) {
  if (text.size() % 2 != 0) return std::nullopt;
  std::string out;
  for (size_t i = 0; i < text.size(); i += 2) {
    char* end = nullptr;
    const std::string pair = text.substr(i, 2);
    const unsigned long value = std::strtoul(pair.c_str(), &end, 16);
    if (end != pair.c_str() + 2) return std::nullopt;
    out.push_back(static_cast<char>(value));
  }
  return out;
}

// The value of an extended attribute of an open entry; none when it has none (or on error,
// with errno kept).
std::optional<std::string> attributeOf(int fd, const std::string& name) {
  for (;;) {
    const ssize_t size = ::fgetxattr(fd, name.c_str(), nullptr, 0);
    if (size < 0) return std::nullopt;
    std::string value(static_cast<size_t>(size), '\0');
    const ssize_t got = ::fgetxattr(fd, name.c_str(), value.data(), value.size());
    if (got >= 0 && got <= size) {
      value.resize(static_cast<size_t>(got));
      return value;
    }
    if (got < 0 && errno != ERANGE) return std::nullopt;  // grew meanwhile: ask again
  }
}

// The directory itself, opened as every os/ service opens a path (no link at its end).
posix::Descriptor openDirectory(const Location& directory) {
  return posix::Descriptor(
      posix::openPath(directory, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NOCTTY));
}

// The loan record: "<mode in octal> <access-control list in hex, empty when there was none>".
struct Loan {
  mode_t mode;
  std::string acl;
};

std::optional<Loan> parseLoan(const std::string& record) {
  const size_t space = record.find(' ');
  if (space == std::string::npos) return std::nullopt;
  char* end = nullptr;
  const std::string modeText = record.substr(0, space);
  const unsigned long mode = std::strtoul(modeText.c_str(), &end, 8);
  const std::optional<std::string> acl = fromHex(record.substr(space + 1));
  if (modeText.empty() || *end != '\0' || mode > 07777 || !acl) return std::nullopt;
  return Loan{static_cast<mode_t>(mode), *acl};
}

bool returnLoan(int fd) {
  const std::optional<std::string> record =
      attributeOf(fd, std::string(kRecordPrefix) + kLoanRecord);
  if (!record) return errno == ENODATA;
  const std::optional<Loan> loan = parseLoan(*record);
  if (!loan) return false;
  // The list first: removing or setting it leaves the mask in the mode's group bits, which
  // the mode then puts back.
  bool ok = loan->acl.empty()
                ? (::fremovexattr(fd, kAccessAcl) == 0 || errno == ENODATA)
                : ::fsetxattr(fd, kAccessAcl, loan->acl.data(), loan->acl.size(), 0) == 0;
  ok = ok && ::fchmod(fd, loan->mode) == 0;
  return ok && ::fremovexattr(fd, (std::string(kRecordPrefix) + kLoanRecord).c_str()) == 0;
}

}  // namespace

std::optional<std::string> rootRecord(const Location& directory, const std::string& name) {
  const posix::Descriptor fd = openDirectory(directory);
  if (!fd) return std::nullopt;
  return attributeOf(fd.get(), kRecordPrefix + name);
}

bool setRootRecord(const Location& directory, const std::string& name, const std::string& value) {
  const posix::Descriptor fd = openDirectory(directory);
  return fd &&
         ::fsetxattr(fd.get(), (kRecordPrefix + name).c_str(), value.data(), value.size(), 0) == 0;
}

bool removeRootRecord(const Location& directory, const std::string& name) {
  const posix::Descriptor fd = openDirectory(directory);
  return fd && (::fremovexattr(fd.get(), (kRecordPrefix + name).c_str()) == 0 || errno == ENODATA);
}

bool lendDirectory(const Location& directory, uid_t account) {
  const posix::Descriptor fd = openDirectory(directory);
  struct stat status {};
  if (!fd || ::geteuid() != 0 || ::fstat(fd.get(), &status) != 0) return false;
  // A loan left by a stopped run is returned first, so that the record holds what the
  // directory was before any loan.
  if (!returnLoan(fd.get()) || ::fstat(fd.get(), &status) != 0) return false;
  const mode_t mode = status.st_mode & 07777;
  std::optional<std::string> acl = attributeOf(fd.get(), kAccessAcl);
  if (!acl && errno != ENODATA) return false;
  std::vector<AclEntry> entries;
  if (acl) {
    std::optional<std::vector<AclEntry>> parsed = parseAcl(*acl);
    if (!parsed) return false;
    entries = std::move(*parsed);
    std::erase_if(entries, [&](const AclEntry& entry) {
      return (entry.tag == kUser && entry.id == account) || entry.tag == kMask;
    });
  } else {
    entries = {{kUserObj, static_cast<uint16_t>((mode >> 6) & 7), kNoId},
               {kGroupObj, static_cast<uint16_t>((mode >> 3) & 7), kNoId},
               {kOther, static_cast<uint16_t>(mode & 7), kNoId}};
  }
  entries.push_back({kUser, 7, account});
  entries.push_back({kMask, 7, kNoId});
  char modeText[8];
  std::snprintf(modeText, sizeof modeText, "%o", static_cast<unsigned>(mode));
  const std::string value = std::string(modeText) + " " + (acl ? toHex(*acl) : "");
  if (::fsetxattr(fd.get(), (std::string(kRecordPrefix) + kLoanRecord).c_str(), value.data(),
                  value.size(), 0) != 0) {
    return false;
  }
  const std::string granted = encodeAcl(std::move(entries));
  if (::fchmod(fd.get(), mode | S_ISVTX) != 0 ||
      ::fsetxattr(fd.get(), kAccessAcl, granted.data(), granted.size(), 0) != 0) {
    returnLoan(fd.get());
    return false;
  }
  return true;
}

bool returnLentDirectory(const Location& directory) {
  const posix::Descriptor fd = openDirectory(directory);
  return fd && returnLoan(fd.get());
}

}  // namespace rcpinstall::os
