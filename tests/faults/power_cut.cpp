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
#include <sstream>

#include "foundation/java_properties.h"
#include "tests/patchapply_scenario.h"

namespace rcpinstall::faults {
namespace {

using testing::readFile;
using testing::RunResult;

constexpr unsigned long kShutdown = _IOR('X', 125, __u32);  // EXT4_IOC_SHUTDOWN
constexpr __u32 kNoLogFlush = 2;                            // EXT4_GOING_FLAGS_NOLOGFLUSH
// The calls a cut point is counted in.
constexpr const char* kCalls = "openat,rename,renameat,renameat2,unlinkat,fsync,mkdirat,syncfs";
const std::string kWork = testing::binaryDir() + "/tests/power-cut";
const std::string kImage = kWork + "/ext4.img";
const std::string kMount = kWork + "/Applications";

int shell(const std::string& command) {
  return std::system(command.c_str());
}

// Takes away what this table, or an earlier run of it that was killed, left mounted.
void release() {
  shell("umount '" + kMount + "' 2>/dev/null");
  shell("losetup -n -O NAME -j '" + kImage + "' | xargs -r -n1 losetup -d");
}

std::string device() {
  const std::string found = testing::runProgram({"losetup", "-n", "-O", "NAME", "-j", kImage}).out;
  return found.substr(0, found.find('\n'));
}

// Why the table cannot run here; none when it can (the image is then attached and mounted).
std::optional<std::string> unusable() {
#if defined(__SANITIZE_ADDRESS__)
  return std::string("the power-cut table runs in the normal build only");
#endif
  if (::geteuid() != 0) return std::string("needs root (loop devices, mount)");
  for (const std::string tool : {"losetup", "mkfs.ext4", "mount", "strace"}) {
    if (shell("command -v " + tool + " >/dev/null 2>&1") != 0) return tool + " is not installed";
  }
  const RunResult sandbox = testing::runProgram(
      {testing::sourceDir() + "/tests/sandbox-run", testing::binaryDir(), "true"});
  if (sandbox.exitStatus != 0) return "no sandbox: " + sandbox.out;
  release();
  std::filesystem::create_directories(kMount);
  const RunResult made = testing::runProgram(
      {"/bin/sh", "-c",
       "rm -f \"$1\" && truncate -s 96M \"$1\" && mkfs.ext4 -q -F \"$1\" && losetup -f \"$1\"",
       "sh", kImage});
  if (made.exitStatus != 0 || device().empty()) return "no loop device: " + made.out + made.err;
  if (shell("mount '" + device() + "' '" + kMount + "'") == 0) return std::nullopt;
  release();
  return std::string("the image cannot be mounted");
}

// Runs a program inside the sandbox as root for alice, the image as /Applications.
RunResult inSandbox(std::vector<std::string> argv) {
  argv.insert(argv.begin(), {testing::sourceDir() + "/tests/sandbox-run", testing::binaryDir(),
                             "env", "USER=alice"});
  return testing::runProgram(argv, {{"RCP_SANDBOX_APPLICATIONS", kMount}});
}

// Where the host sees a path of the sandbox's /Applications.
std::string onHost(const std::string& path) {
  return kMount + path.substr(std::strlen("/Applications"));
}

// Puts all that was written on the disk; or cuts the power (nothing written after the last
// commit of the journal stays) and mounts the volume again.
void syncOrCut(bool cut) {
  const int fd = ::open(kMount.c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_GE(fd, 0);
  __u32 flags = kNoLogFlush;
  ASSERT_EQ(cut ? ::ioctl(fd, kShutdown, &flags) : ::syncfs(fd), 0) << std::strerror(errno);
  ::close(fd);
  if (!cut) return;
  ASSERT_EQ(shell("umount '" + kMount + "'"), 0);
  ASSERT_EQ(shell("mount '" + device() + "' '" + kMount + "'"), 0);
}

// The tree below a product directory (its sandbox name, which the files name too) as two
// installs of a hotfix leave it alike: less the records of the minute (manifest version, its
// backups, what installs kept), the simulator's log and who ran the launcher. With
// `hotfixFiles`, only the content of what the hotfix brings.
std::map<std::string, std::string> installedTree(const std::string& dir, bool hotfixFiles) {
  std::map<std::string, std::string> tree;
  for (auto [path, description] : apply_scenario::snapshot(onHost(dir))) {
    const std::string name = std::filesystem::path(path).filename().string();
    const bool brought = name == ".keystore" || name == "plugin_customization.ini" ||
                         name == "install.xml" ||
                         path.find("/deploy/extras/") != std::string::npos ||
                         path.find("/eclipse/features/") != std::string::npos;
    if ((hotfixFiles && !brought) || name == "ignitor.calls" || name == "provisioning.log" ||
        path.find("/hotfix-backups") != std::string::npos ||
        (name.starts_with("install.") && name != "install.xml" && name != "install.update.xml"))
      continue;
    // Owners and modes the repair gave need not survive a power cut.
    if (name == ".provisioning_rc" || hotfixFiles) {
      const size_t content = description.find(' ', 4);
      description = content == std::string::npos ? "" : description.substr(content + 1);
    }
    if (name == "ignitor") description = std::to_string(description.size());
    if (name == "ignitor.properties") {
      const std::string text = description.substr(description.find(' ', 4));
      description.clear();
      for (const auto& [key, value] : JavaProperties::parse(text))
        if (key != "provisioning.manifest.version" && key != "rcp.install.id")
          description += key + "=" + value + "\n";
    }
    for (size_t at; (at = description.find(dir)) != std::string::npos;)
      description.replace(at, dir.size(), "<dir>");
    tree[path.substr(onHost(dir).size())] = description;
  }
  return tree;
}

// A cut point: a call and its occurrence in the reference run's trace. After the keystores:
// the first call on an extra file after the last on a keystore. After the record: the call
// after the sync that made the record's last rename durable.
std::optional<std::pair<std::string, int>> pointIn(const std::string& trace, bool afterRecord) {
  std::vector<std::string> lines;
  std::istringstream in(readFile(trace).value_or(""));
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  const std::string last = afterRecord ? "\"installInfo.plist\"" : ".keystore";
  size_t from = 0;
  for (size_t i = 0; i < lines.size(); ++i)
    if (lines[i].find(last) != std::string::npos &&
        (!afterRecord || lines[i].starts_with("rename")))
      from = i;
  for (size_t i = from; i + 1 < lines.size(); ++i) {
    const size_t at = afterRecord ? i + 1 : i;
    if (afterRecord ? !lines[i].starts_with("fsync(")
                    : lines[i].find("readme.txt") == std::string::npos)
      continue;
    const std::string call = lines[at].substr(0, lines[at].find('('));
    int occurrence = 0;
    for (size_t k = 0; k <= at; ++k) occurrence += lines[k].starts_with(call + "(");
    return std::make_pair(call, occurrence);
  }
  return std::nullopt;
}

TEST(PowerCut, TheRecordNamesWholeFilesOrARerunInstalls) {
  const std::string bin = testing::binDir();
  const auto package = [](const std::string& version) {
    return "/Applications/packages/" + version + "/Hotfix.mpkg/Contents/Packages/hotfix.pkg";
  };
  for (const std::string version : {"1.0.2", "1.0.3"}) {
    ASSERT_EQ(inSandbox({bin + "/rcpsim", "hotfix", "/Applications/packages/" + version,
                         "--version", version})
                  .exitStatus,
              0);
  }
  // Runs patchapply, under strace when told; with `layOut`, lays the product out first (with
  // 1.0.2 installed under 1.0.3), all of it on the disk.
  const auto install = [&](const std::string& dir, const std::string& version, bool layOut,
                           std::vector<std::string> argv) {
    if (layOut) {
      EXPECT_EQ(
          inSandbox({bin + "/rcpsim", "product", dir, "--ignitor", bin + "/ignitor"}).exitStatus,
          0);
      if (version == "1.0.3") {
        EXPECT_EQ(inSandbox({bin + "/patchapply", package("1.0.2"), dir}).exitStatus, 0);
      }
      syncOrCut(false);
    }
    argv.insert(argv.end(), {bin + "/patchapply", package(version), dir});
    return inSandbox(argv);
  };
  int index = 0;
  for (const std::string version : {"1.0.2", "1.0.3"}) {
    const std::string reference = "/Applications/reference-" + version;
    const std::string trace = kWork + "/trace-" + version;
    const std::string calls = std::string("trace=") + kCalls;
    ASSERT_EQ(
        install(reference, version, true, {"strace", "-qq", "-o", trace, "-e", calls}).exitStatus,
        0);
    syncOrCut(false);
    for (const char* point : {"after the keystores", "after the record", "after exit 0"}) {
      const std::string dir = "/Applications/cut-" + std::to_string(index++);
      SCOPED_TRACE(dir + ": " + version + ", cut " + point);
      std::vector<std::string> strace;
      if (std::string_view(point) != "after exit 0") {
        const auto at = pointIn(trace, std::string_view(point) == "after the record");
        ASSERT_TRUE(at) << "no such point in " << trace;
        strace = {
            "strace", "-qq",
            "-o",     "/dev/null",
            "-e",     calls,
            "-e",     "inject=" + at->first + ":signal=KILL:when=" + std::to_string(at->second)};
      }
      install(dir, version, true, strace);
      syncOrCut(true);
      const std::optional<os::PlistValue> record =
          os::readPlistFile(onHost(dir) + "/Orrery.app/Contents/MacOS/rcp/installInfo.plist");
      const os::PlistValue* recorded = record ? record->find("hotfixVersion") : nullptr;
      const bool named = recorded != nullptr && recorded->asString() != nullptr &&
                         *recorded->asString() == version;
      std::cout << dir << (named ? ": the record names the hotfix\n" : ": no record, run again\n");
      if (!named) {
        const RunResult rerun = install(dir, version, false, {});
        EXPECT_EQ(rerun.exitStatus, 0) << rerun.out << rerun.err;
      }
      EXPECT_EQ(installedTree(dir, named), installedTree(reference, named));
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
  std::filesystem::remove(rcpinstall::faults::kImage);
  return status;
}
