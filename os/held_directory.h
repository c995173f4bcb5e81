// Temporary directories that a process holds for as long as it lives, so that a later run can
// tell the ones left behind by a killed process from the ones still in use.
#pragma once

#include <string>
#include <vector>

namespace rcpinstall::os {

// A fresh directory of the process's own (mode 0700) in TMPDIR, else /tmp, named from the
// prefix with a random ending, and a lock on a file in it that the system lets go when the
// process ends, however it ends (processes forked from this one share the lock; programs
// they start do not). The directory stays when the object goes; remove() takes it away.
class HeldDirectory {
 public:
  explicit HeldDirectory(const std::string& prefix);
  ~HeldDirectory();
  HeldDirectory(const HeldDirectory&) = delete;
  HeldDirectory& operator=(const HeldDirectory&) = delete;

  // Empty when the directory could not be made; error() then names where and why.
  const std::string& path() const { return path_; }
  const std::string& error() const { return error_; }
  // Removes the directory and everything in it (no link followed). False when some of it
  // stays.
  bool remove();

 private:
  std::string path_;
  std::string error_;
  int lock_ = -1;
};

// Removes the directories that HeldDirectory made with the prefix in TMPDIR (else /tmp) that
// belong to this process's user and that no live process holds, and answers their paths. A
// directory that holds no lock file yet is left alone for a minute after it was made.
std::vector<std::string> removeUnheldDirectories(const std::string& prefix);

}  // namespace rcpinstall::os
