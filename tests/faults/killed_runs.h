// Helpers of the kill tables: the launcher a killed run left behind, the calls a traced run
// makes, the temporaries a cut-off run leaves, and the product tree as a rerun must leave it.
#pragma once

#include <dirent.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/patchapply_scenario.h"

namespace rcpinstall::faults {

using testing::readFile;

// Processes whose executable is the given program.
inline std::vector<pid_t> processesOf(const std::string& executable) {
  std::vector<pid_t> found;
  DIR* proc = ::opendir("/proc");
  if (proc == nullptr) return found;
  while (const dirent* entry = ::readdir(proc)) {
    const pid_t pid = static_cast<pid_t>(std::atoi(entry->d_name));
    if (pid <= 0) continue;
    char target[4096];
    const std::string exe = "/proc/" + std::string(entry->d_name) + "/exe";
    const ssize_t length = ::readlink(exe.c_str(), target, sizeof target);
    if (length > 0 && std::string(target, static_cast<size_t>(length)) == executable) {
      found.push_back(pid);
    }
  }
  ::closedir(proc);
  return found;
}

// The launcher outlives the killed program (it is not killed with it). It is left to finish
// its provisioning run, as it would on the machine; only one that does not end in time is
// killed.
inline bool waitForLauncher(const std::string& launcher) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!processesOf(launcher).empty()) {
    if (std::chrono::steady_clock::now() > deadline) {
      for (pid_t pid : processesOf(launcher)) ::kill(pid, SIGKILL);
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

// Temporary files that os/ names (".rcptmp.<name>.XXXXXX") below a directory.
inline std::vector<std::string> temporaryFilesBelow(const std::string& directory,
                                                    bool recursive = true) {
  std::vector<std::string> found;
  std::error_code ec;
  const auto check = [&](const std::filesystem::path& path) {
    if (path.filename().string().starts_with(".rcptmp.")) found.push_back(path.string());
  };
  if (!recursive) {
    for (const auto& entry : std::filesystem::directory_iterator(directory, ec))
      check(entry.path());
    return found;
  }
  for (auto it = std::filesystem::recursive_directory_iterator(directory, ec);
       !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    check(it->path());
  }
  return found;
}

// The product tree as a rerun must leave it: every entry's owner, mode and content, less what
// differs between any two installs (the manifest version of the minute, the backups named for
// it, the simulator's record of its runs and the provisioning log it appends to).
inline std::map<std::string, std::string> installedTree(const std::string& dir) {
  std::map<std::string, std::string> tree = apply_scenario::snapshot(dir);
  std::erase_if(tree, [](const auto& entry) {
    const std::string name = std::filesystem::path(entry.first).filename().string();
    return name == "ignitor.calls" || name == "provisioning.log" ||
           (name.starts_with("install.") && name != "install.xml" && name != "install.update.xml");
  });
  for (auto& [path, description] : tree) {
    // Who ran the launcher (root on a tree only root could change, else its owner) owns the
    // result it left; the binary is told by its size.
    if (path.ends_with("/.provisioning_rc"))
      description = description.substr(description.find(' ', 4));
    if (path.ends_with("/rcp/ignitor")) description = std::to_string(description.size());
    if (!path.ends_with("/ignitor.properties")) continue;
    std::string kept;
    std::istringstream lines(description);
    for (std::string line; std::getline(lines, line);) {
      if (!line.starts_with("provisioning.manifest.version=") &&
          !line.starts_with("rcp.install.id="))
        kept += line + "\n";
    }
    description = kept;
  }
  return tree;
}

// The entries in which two trees differ.
inline std::vector<std::string> differences(const std::map<std::string, std::string>& a,
                                            const std::map<std::string, std::string>& b) {
  std::vector<std::string> found;
  for (const auto& [path, description] : a) {
    const auto other = b.find(path);
    if (other == b.end())
      found.push_back("only after the rerun: " + path);
    else if (other->second != description)
      found.push_back(path + ": " + description + " / " + other->second);
  }
  for (const auto& [path, description] : b) {
    if (!a.contains(path)) found.push_back("missing after the rerun: " + path);
  }
  return found;
}

// How often the traced program makes each call, from a run under strace; with `until`, up to
// and including the first call whose line holds that text.
inline std::map<std::string, int> callCounts(const std::string& trace,
                                             const std::string& until = {}) {
  std::map<std::string, int> counts;
  std::istringstream lines(readFile(trace).value_or(""));
  for (std::string line; std::getline(lines, line);) {
    const size_t paren = line.find('(');
    // A call this strace has no name for (fchmodat2 before strace 6.5) cannot be injected;
    // the walk's change of owner comes just before each one.
    if (paren != std::string::npos && !line.starts_with("+++") && !line.starts_with("---") &&
        !line.starts_with("syscall_")) {
      ++counts[line.substr(0, paren)];
      if (!until.empty() && line.find(until) != std::string::npos) break;
    }
  }
  return counts;
}

}  // namespace rcpinstall::faults
