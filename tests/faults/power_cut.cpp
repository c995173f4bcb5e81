// The power-cut table: sample products on an ext4 image on a loop device, mounted on the host
// directory that each sandboxed run binds as /Applications, with the power cut
// (EXT4_IOC_SHUTDOWN without flushing the log) at points of an install and of an install over
// an installed hotfix. Mounted again, the record names a hotfix whose files are all whole, or
// a rerun of patchapply ends in the tree of an uninterrupted install. It runs on the host, as
// root: the sandbox has no loop devices. Exit status 77, with the reason, where it cannot.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/types.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <iostream>
#include <map>
#include <sstream>

#include "foundation/install_manifest.h"
#include "foundation/java_properties.h"
#include "os/plist_value.h"
#include "tests/patchapply_scenario.h"

namespace rcpinstall::faults {
namespace {

using testing::readFile;
using testing::RunResult;

constexpr unsigned long kShutdown = _IOR('X', 125, __u32);  // EXT4_IOC_SHUTDOWN
constexpr __u32 kNoLogFlush = 2;                            // EXT4_GOING_FLAGS_NOLOGFLUSH
// The calls a cut point is counted in.
constexpr const char* kCalls = "openat,rename,renameat,renameat2,unlinkat,fsync,mkdirat,syncfs";

const std::string& work() {
  static const std::string dir = testing::binaryDir() + "/tests/power-cut";
  return dir;
}
std::string image() {
  return work() + "/ext4.img";
}
std::string mountPoint() {
  return work() + "/Applications";
}

int shell(const std::string& command) {
  return std::system(command.c_str());
}

// Takes away what this table (or an earlier run of it that was killed) left mounted and
// attached.
void release() {
  shell("umount '" + mountPoint() + "' 2>/dev/null");
  shell("losetup -n -O NAME -j '" + image() + "' | xargs -r -n1 losetup -d");
}

std::string device() {
  const RunResult found = testing::runProgram({"losetup", "-n", "-O", "NAME", "-j", image()});
  return found.out.substr(0, found.out.find('\n'));
}

// Why the table cannot run here; none when it can (the image is then attached and mounted).
std::optional<std::string> unusable() {
#if defined(__SANITIZE_ADDRESS__)
  return std::string("the power-cut table runs in the normal build only");
#endif
  if (::geteuid() != 0) return std::string("needs root (loop devices, mount)");
  for (const char* tool : {"losetup", "mkfs.ext4", "mount", "strace"}) {
    if (shell(std::string("command -v ") + tool + " >/dev/null 2>&1") != 0)
      return std::string(tool) + " is not installed";
  }
  const RunResult sandbox = testing::runProgram(
      {testing::sourceDir() + "/tests/sandbox-run", testing::binaryDir(), "true"});
  if (sandbox.exitStatus != 0) return "no sandbox: " + sandbox.out;
  release();
  std::filesystem::create_directories(mountPoint());
  const RunResult made = testing::runProgram({"/bin/sh", "-c",
                                              "rm -f \"$1\" && truncate -s 96M \"$1\" && "
                                              "mkfs.ext4 -q -F \"$1\" && losetup -f \"$1\" 2>&1",
                                              "sh", image()});
  if (made.exitStatus != 0 || device().empty()) {
    return "no loop device can be used: " + made.out + made.err;
  }
  if (shell("mount '" + device() + "' '" + mountPoint() + "'") != 0) {
    release();
    return std::string("the image cannot be mounted");
  }
  return std::nullopt;
}

// Runs a program inside the sandbox as root for alice, the image as /Applications.
RunResult inSandbox(std::vector<std::string> argv) {
  argv.insert(argv.begin(), {testing::sourceDir() + "/tests/sandbox-run", testing::binaryDir(),
                             "env", "USER=alice"});
  return testing::runProgram(argv, {{"RCP_SANDBOX_APPLICATIONS", mountPoint()}});
}

void syncVolume() {
  const int fd = ::open(mountPoint().c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::syncfs(fd), 0);
  ::close(fd);
}

// What a power cut leaves: nothing written after the last commit of the journal; then the
// volume is mounted again.
void cutPower() {
  const int fd = ::open(mountPoint().c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_GE(fd, 0);
  __u32 flags = kNoLogFlush;
  ASSERT_EQ(::ioctl(fd, kShutdown, &flags), 0) << std::strerror(errno);
  ::close(fd);
  ASSERT_EQ(shell("umount '" + mountPoint() + "'"), 0);
  ASSERT_EQ(shell("mount '" + device() + "' '" + mountPoint() + "'"), 0);
}

// The tree below a product as two installs of the same hotfix leave it alike: less the
// records of the minute (manifest version, its backups, what installs kept), the simulator's
// record of its runs and log, and who ran the launcher.
// Where the host sees a path of the sandbox's /Applications.
std::string onHost(const std::string& path) {
  return mountPoint() + path.substr(std::strlen("/Applications"));
}

// `dir` is the sandbox's name of the product directory, which the files name too.
std::map<std::string, std::string> installedTree(const std::string& dir) {
  std::map<std::string, std::string> tree;
  for (auto [path, description] : apply_scenario::snapshot(onHost(dir))) {
    const std::string name = std::filesystem::path(path).filename().string();
    if (name == "ignitor.calls" || name == "provisioning.log" ||
        path.find("/hotfix-backups") != std::string::npos ||
        (name.starts_with("install.") && name != "install.xml" && name != "install.update.xml"))
      continue;
    if (name == ".provisioning_rc") description = description.substr(description.find(' ', 4));
    if (name == "ignitor") description = std::to_string(description.size());
    if (name == "ignitor.properties") {
      std::string kept;
      for (const auto& [key, value] :
           JavaProperties::parse(description.substr(description.find(' ', 4))))
        if (key != "provisioning.manifest.version" && key != "rcp.install.id")
          kept += key + "=" + value + "\n";
      description = kept;
    }
    for (size_t at; (at = description.find(dir)) != std::string::npos;)
      description.replace(at, dir.size(), "<dir>");
    tree[path.substr(onHost(dir).size())] = description;
  }
  return tree;
}

// The entries in which a tree differs from the reference.
std::vector<std::string> differences(const std::map<std::string, std::string>& tree,
                                     const std::map<std::string, std::string>& reference) {
  std::vector<std::string> found;
  for (const auto& [path, description] : tree) {
    const auto other = reference.find(path);
    if (other == reference.end() || other->second != description)
      found.push_back(path + ": " + description);
  }
  for (const auto& [path, description] : reference) {
    if (!tree.contains(path)) found.push_back("missing: " + path);
  }
  return found;
}

// Whether every file of the hotfix in the package is whole in the product.
::testing::AssertionResult wholeHotfix(const std::string& product, const std::string& package,
                                       const std::string& version) {
  const std::string rcp = product + "/Orrery.app/Contents/MacOS/rcp";
  const std::string pkg = package + "/Hotfix.mpkg/Contents";
  std::vector<std::pair<std::string, std::string>> same = {
      {pkg + "/Packages/deploy/.keystore", rcp + "/deploy/.keystore"}};
  for (const char* dir : {"/Packages/deploy/extras", "/updates/platform/features"}) {
    const std::string to =
        std::string(dir).ends_with("extras") ? "/deploy/extras" : "/eclipse/features";
    for (const auto& entry : std::filesystem::recursive_directory_iterator(pkg + dir)) {
      if (entry.is_regular_file())
        same.emplace_back(entry.path(),
                          rcp + to + entry.path().string().substr(pkg.size() + std::strlen(dir)));
    }
  }
  for (const auto& [from, to] : same) {
    if (readFile(from) != readFile(to))
      return ::testing::AssertionFailure() << to << " is not whole";
  }
  const JavaProperties::Table customization =
      JavaProperties::parse(readFile(rcp + "/plugin_customization.ini").value_or(""));
  for (const auto& entry : JavaProperties::parse(
           readFile(pkg + "/Packages/deploy/plugin_customization.ini").value_or(""))) {
    if (std::find(customization.begin(), customization.end(), entry) == customization.end())
      return ::testing::AssertionFailure() << "plugin_customization.ini lacks " << entry.first;
  }
  if (InstallManifest(rcp + "/deploy/install.xml")
          .checkInstalledFeature(std::string("com.zantec.orrery.hotfix"), std::nullopt) != version)
    return ::testing::AssertionFailure() << "install.xml does not record " << version;
  return ::testing::AssertionSuccess();
}

// The cut points: a call and its occurrence in the reference run's trace.
enum class Point { kAfterKeystores, kAfterRecord, kAfterExit };

std::optional<std::pair<std::string, int>> pointIn(const std::string& trace, Point point) {
  std::vector<std::string> lines;
  std::istringstream in(readFile(trace).value_or(""));
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  size_t at = lines.size();
  if (point == Point::kAfterKeystores) {
    size_t keystores = 0;
    for (size_t i = 0; i < lines.size(); ++i)
      if (lines[i].find(".keystore") != std::string::npos) keystores = i;
    for (size_t i = keystores; i < lines.size() && at == lines.size(); ++i)
      if (lines[i].find("readme.txt") != std::string::npos) at = i;
  } else {
    // The call after the sync of the directory that made the record's last rename durable.
    size_t renamed = lines.size();
    for (size_t i = 0; i < lines.size(); ++i) {
      if (lines[i].starts_with("rename") &&
          lines[i].find("\"installInfo.plist\"") != std::string::npos)
        renamed = i;
    }
    for (size_t i = renamed; i + 1 < lines.size() && at == lines.size(); ++i)
      if (lines[i].starts_with("fsync(")) at = i + 1;
  }
  if (at == lines.size()) return std::nullopt;
  const std::string call = lines[at].substr(0, lines[at].find('('));
  int occurrence = 0;
  for (size_t i = 0; i <= at; ++i) occurrence += lines[i].starts_with(call + "(");
  return std::make_pair(call, occurrence);
}

TEST(PowerCut, TheRecordNamesWholeFilesOrARerunInstalls) {
  const std::string bin = testing::binDir();
  for (const char* version : {"1.0.2", "1.0.3"}) {
    ASSERT_EQ(inSandbox({bin + "/rcpsim", "hotfix",
                         std::string("/Applications/packages/") + version, "--version", version})
                  .exitStatus,
              0);
  }
  const auto package = [](const std::string& version) {
    return "/Applications/packages/" + version + "/Hotfix.mpkg/Contents/Packages/hotfix.pkg";
  };
  // A product, with 1.0.2 installed over it for an upgrade, all of it on the disk.
  const auto product = [&](const std::string& dir, bool upgrade) {
    ASSERT_EQ(
        inSandbox({bin + "/rcpsim", "product", dir, "--ignitor", bin + "/ignitor"}).exitStatus, 0);
    if (upgrade) {
      ASSERT_EQ(inSandbox({bin + "/patchapply", package("1.0.2"), dir}).exitStatus, 0);
    }
    syncVolume();
  };
  const auto install = [&](const std::string& dir, const std::string& version,
                           const std::vector<std::string>& strace) {
    std::vector<std::string> argv = strace;
    argv.insert(argv.end(), {bin + "/patchapply", package(version), dir});
    return inSandbox(argv);
  };

  int index = 0;
  for (const bool upgrade : {false, true}) {
    const std::string version = upgrade ? "1.0.3" : "1.0.2";
    const std::string reference = std::string("/Applications/reference-") + version;
    const std::string trace = work() + "/trace-" + version;
    product(reference, upgrade);
    ASSERT_EQ(install(reference, version,
                      {"strace", "-qq", "-o", trace, "-e", std::string("trace=") + kCalls})
                  .exitStatus,
              0);
    syncVolume();
    const auto uninterrupted = installedTree(reference);
    for (const Point point : {Point::kAfterKeystores, Point::kAfterRecord, Point::kAfterExit}) {
      const std::string dir = "/Applications/cut-" + std::to_string(index++);
      SCOPED_TRACE(dir + (upgrade ? ": 1.0.3 over 1.0.2" : ": 1.0.2") + ", cut " +
                   (point == Point::kAfterKeystores ? "after the keystores"
                    : point == Point::kAfterRecord  ? "after the record"
                                                    : "after exit 0"));
      product(dir, upgrade);
      if (point == Point::kAfterExit) {
        EXPECT_EQ(install(dir, version, {}).exitStatus, 0);
      } else {
        const auto at = pointIn(trace, point);
        ASSERT_TRUE(at) << "no such point in " << trace;
        install(dir, version,
                {"strace", "-qq", "-o", "/dev/null", "-e", std::string("trace=") + kCalls, "-e",
                 "inject=" + at->first + ":signal=KILL:when=" + std::to_string(at->second)});
      }
      cutPower();
      const std::optional<os::PlistValue> record =
          os::readPlistFile(onHost(dir) + "/Orrery.app/Contents/MacOS/rcp/installInfo.plist");
      const os::PlistValue* recorded = record ? record->find("hotfixVersion") : nullptr;
      if (recorded != nullptr && recorded->asString() != nullptr &&
          *recorded->asString() == version) {
        std::cout << dir << ": the record names " << version << "\n";
        EXPECT_TRUE(wholeHotfix(onHost(dir), mountPoint() + "/packages/" + version, version));
        continue;
      }
      std::cout << dir << ": no record of " << version << ", run again\n";
      const RunResult rerun = install(dir, version, {});
      EXPECT_EQ(rerun.exitStatus, 0) << rerun.out << rerun.err;
      EXPECT_EQ(differences(installedTree(dir), uninterrupted), std::vector<std::string>{});
    }
  }
}

}  // namespace
}  // namespace rcpinstall::faults

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  if (const std::optional<std::string> reason = rcpinstall::faults::unusable()) {
    std::cout << "skipped: " << *reason << "\n";
    return 77;
  }
  const int status = RUN_ALL_TESTS();
  rcpinstall::faults::release();
  return status;
}
