// A full disk (a small tmpfs holding the platform) and a read-only one, met by each file the
// tools rewrite atomically: the old file stays whole and parses, no temporary file stays
// behind, and the failure shows in the outcome where the operation reports one.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "foundation/configuration.h"
#include "foundation/install_manifest.h"
#include "foundation/install_util.h"
#include "foundation/java_properties.h"
#include "instance/instance_service.h"
#include "os/plist_value.h"
#include "tests/faults/canary.h"
#include "tests/patchapply_scenario.h"

namespace rcpinstall::faults {
namespace {

using apply_scenario::Package;
using apply_scenario::PatchApplyScenario;
using apply_scenario::Product;
using apply_scenario::snapshot;
using testing::readFile;
using testing::RunResult;

// A tmpfs mounted over a directory whose content it takes over: the directory's entries are
// copied onto it, so the tree looks the same but lives on a disk that can be filled or made
// read-only.
class SmallDisk {
 public:
  explicit SmallDisk(const std::string& directory) : directory_(directory) {
    const std::string aside = directory + ".aside";
    if (std::system(("cp -a '" + directory + "' '" + aside + "'").c_str()) != 0) {
      reason_ = "cannot copy " + directory;
      return;
    }
    if (::mount("tmpfs", directory.c_str(), "tmpfs", 0, "size=32m,mode=0755") != 0) {
      reason_ = "mounting a tmpfs is not allowed here: " + std::string(std::strerror(errno));
      testing::removeTree(aside);
      return;
    }
    mounted_ = true;
    if (std::system(("cp -a '" + aside + "/.' '" + directory + "/'").c_str()) != 0) {
      reason_ = "cannot copy onto the tmpfs";
    }
    testing::removeTree(aside);
  }
  ~SmallDisk() {
    if (mounted_) ::umount2(directory_.c_str(), MNT_DETACH);
  }
  SmallDisk(const SmallDisk&) = delete;
  SmallDisk& operator=(const SmallDisk&) = delete;

  // Empty when the disk is in place.
  const std::string& unavailable() const { return reason_; }

  // Writes a filler file until the disk has no block left.
  void fill() const {
    const int fd = ::open(filler().c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    static char block[65536];
    for (size_t size = sizeof block; size > 0; size /= 2) {
      while (::write(fd, block, size) == static_cast<ssize_t>(size)) {
      }
    }
    ::close(fd);
  }
  void makeRoom() const { ::unlink(filler().c_str()); }
  void setReadOnly(bool readOnly) const {
    const unsigned long flags = MS_REMOUNT | (readOnly ? MS_RDONLY : 0);
    ASSERT_EQ(::mount("tmpfs", directory_.c_str(), "tmpfs", flags, "size=32m"), 0)
        << std::strerror(errno);
  }

 private:
  std::string filler() const { return directory_ + "/.filler"; }

  std::string directory_;
  std::string reason_;
  bool mounted_ = false;
};

// Names that replaceFileAtomically gives its temporary files: "." + name + ".XXXXXX".
std::vector<std::string> temporaryFilesBelow(const std::string& directory) {
  std::vector<std::string> found;
  std::error_code ec;
  for (auto it = std::filesystem::recursive_directory_iterator(directory, ec);
       !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (name.size() >= 9 && name[0] == '.' && name[name.size() - 7] == '.' && name != ".filler") {
      found.push_back(it->path().string());
    }
  }
  return found;
}

enum class Kind { kProperties, kPlist, kManifest };

::testing::AssertionResult parses(const std::string& path, Kind kind) {
  const std::optional<std::string> bytes = readFile(path);
  if (!bytes) return ::testing::AssertionFailure() << path << " is gone";
  bool ok = false;
  switch (kind) {
    case Kind::kProperties:
      ok = !JavaProperties::parse(*bytes).empty();
      break;
    case Kind::kPlist: {
      const std::optional<os::PlistValue> value = os::parsePlist(*bytes);
      ok = value && value->asDictionary() != nullptr;
      break;
    }
    case Kind::kManifest:
      ok = InstallManifest(path).hasDocument();
      break;
  }
  if (ok) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << path << " no longer parses";
}

class FullDisk : public PatchApplyScenario {
 protected:
  // The platform's rcp home on a small disk of its own.
  void layOut(const std::vector<std::string>& options = {}) {
    product_.emplace(scratch_ / "Applications", options);
    package_.emplace(scratch_ / "package");
    disk_ = std::make_unique<SmallDisk>(product_->rcpHome);
    if (!disk_->unavailable().empty()) GTEST_SKIP() << disk_->unavailable();
  }

  // Where a disk is full or read-only: the platform as it was, and no temporary file.
  void expectNothingLost(const std::map<std::string, std::string>& before) {
    EXPECT_EQ(snapshot(product_->rcpHome), before);
    EXPECT_EQ(temporaryFilesBelow(product_->rcpHome), std::vector<std::string>{});
    EXPECT_TRUE(parses(product_->rcp("ignitor.properties"), Kind::kProperties));
    EXPECT_TRUE(parses(product_->rcp("installInfo.plist"), Kind::kPlist));
    EXPECT_TRUE(parses(product_->rcp("plugin_customization.ini"), Kind::kProperties));
    EXPECT_TRUE(parses(product_->deploy("install.xml"), Kind::kManifest));
  }

  std::optional<Product> product_;
  std::optional<Package> package_;
  std::unique_ptr<SmallDisk> disk_;
};

// Each rewrite through the call that makes it, on a full disk and on a read-only one.
TEST_F(FullDisk, EachRewriteLeavesTheOldFileAndNoTemporary) {
  const Canary canary;
  layOut({"--hotfix-version", "1.0.2"});
  if (IsSkipped()) return;
  const std::string rcp = product_->rcpHome;
  // Files that exist before each rewrite: a staged update manifest from an earlier run, the
  // add-on record and a hand-off file (its real place is /tmp, which it shares with others).
  ASSERT_TRUE(testing::writeFile(product_->deploy("install.update.xml"),
                                 readFile(product_->deploy("install.xml")).value_or("")));
  os::PlistValue addon;
  addon.set("ID", "com.zantec.addon");
  addon.set("version", "1.0");
  os::PlistValue addons;
  addons.set("addons", os::PlistValue(os::PlistArray{addon, addon}));
  ASSERT_TRUE(os::writePlistFile(product_->rcp("addonInfo.plist"), addons));
  const std::string handOff = product_->rcp("hand-off.configuration");
  Configuration earlier(handOff);
  earlier.setProperty(os::PlistValue(std::string("/earlier")), "pathToRcpHome");
  ASSERT_TRUE(earlier.saveConfiguration());

  struct Row {
    const char* file;  // below the rcp home
    Kind kind;
    std::function<bool(InstanceService&)> rewrite;
  };
  const std::string manifest = package_->deploy("install.hotfix.xml");
  const std::vector<Row> rows = {
      {"ignitor.properties", Kind::kProperties,
       [](InstanceService& s) { return s.updateProvisionManifestVersion("0812261200"); }},
      {"ignitor.properties", Kind::kProperties,
       [](InstanceService& s) { return s.updateIgnitorProperties(); }},
      {"installInfo.plist", Kind::kPlist,
       [](InstanceService& s) { return s.updateHotfixVersion("9.9.9"); }},
      {"installInfo.plist", Kind::kPlist,
       [](InstanceService& s) { return s.updateHotfixVersion(std::nullopt); }},
      {"addonInfo.plist", Kind::kPlist,
       [](InstanceService& s) { return s.removeRegistryInfoforAddon("com.zantec.addon"); }},
      {"plugin_customization.ini", Kind::kProperties,
       [&](InstanceService& s) {
         return s.mergePluginCustomizationWithRcphome(package_->deploy("plugin_customization.ini"));
       }},
      {"deploy/install.update.xml", Kind::kManifest,
       [&](InstanceService& s) { return s.copyUpdateManifest(manifest, package_->path); }},
      {"deploy/install.xml", Kind::kManifest,
       [&](InstanceService& s) {
         return s.copyInstallManifest(manifest, InstanceService::InstallerRoot(package_->path));
       }},
      {"deploy/uninstall.hotfix.xml", Kind::kManifest,
       [&](InstanceService& s) {
         return s.copyPatchRemoveManifest(package_->deploy("uninstall.hotfix.xml"));
       }},
      {"hand-off.configuration", Kind::kPlist,
       [&](InstanceService&) {
         Configuration configuration(handOff);
         configuration.setProperty(os::PlistValue(std::string("/later")), "pathToRcpHome");
         return configuration.saveConfiguration();
       }},
  };
  for (const bool readOnly : {false, true}) {
    for (const Row& row : rows) {
      SCOPED_TRACE(std::string(row.file) + (readOnly ? " on a read-only disk" : " on a full disk"));
      const std::string path = rcp + "/" + row.file;
      const std::optional<std::string> old = readFile(path);
      ASSERT_TRUE(old) << path;
      if (readOnly) {
        disk_->setReadOnly(true);
      } else {
        disk_->fill();
      }
      InstanceService service(rcp);

      EXPECT_FALSE(row.rewrite(service)) << "the failed write is reported";

      if (readOnly) {
        disk_->setReadOnly(false);
      } else {
        disk_->makeRoom();
      }
      EXPECT_EQ(readFile(path), old);
      EXPECT_TRUE(parses(path, row.kind));
      EXPECT_EQ(temporaryFilesBelow(rcp), std::vector<std::string>{});
    }
  }
  // With room again each rewrite takes place.
  InstanceService service(rcp);
  EXPECT_TRUE(service.updateHotfixVersion("9.9.9"));
  EXPECT_EQ(product_->record("hotfixVersion"), "9.9.9");
  canary.expectUnchanged();
}

// A run that meets a full or read-only platform from the start stops at the first staging
// step and says what it could not write; nothing in the platform changed.
TEST_F(FullDisk, InstallOntoAFullOrReadOnlyPlatformFailsAndChangesNothing) {
  const Canary canary;
  layOut();
  if (IsSkipped()) return;
  for (const bool readOnly : {false, true}) {
    SCOPED_TRACE(readOnly ? "read-only" : "full");
    clearMachine();
    const auto before = snapshot(product_->rcpHome);
    if (readOnly) {
      disk_->setReadOnly(true);
    } else {
      disk_->fill();
    }

    const RunResult run = apply_scenario::patchapply({package_->path, scratch_ / "Applications"},
                                                     {{"USER", "alice"}});

    EXPECT_EQ(run.exitStatus, 1) << run.out << run.err;
    EXPECT_EQ(apply_scenario::errorRecordOf("alice"),
              makeErrorRecord(kInstallNotCompleted, {product_->deploy("install.update.xml")}));
    EXPECT_TRUE(apply_scenario::stateOf(apply_scenario::ERROR_MARKER).exists);
    if (readOnly) {
      disk_->setReadOnly(false);
    } else {
      disk_->makeRoom();
    }
    expectNothingLost(before);
  }
  // With room again the same package installs.
  clearMachine();
  const RunResult run = apply_scenario::patchapply({package_->path, scratch_ / "Applications"});
  EXPECT_EQ(run.exitStatus, 0) << run.out << run.err;
  EXPECT_EQ(product_->record("hotfixVersion"), "1.0.2");
  canary.expectUnchanged();
}

// The disk fills, or turns read-only, while the launcher runs: the provisioning result (in the
// platform home, on another disk) reads as success, but the version record cannot be written.
// The tools must not report success for an install or removal whose record is not written.
TEST_F(FullDisk, RecordThatCannotBeWrittenAfterTheLauncherIsNoSuccess) {
  const Canary canary;
  struct Case {
    const char* name;
    bool removal;
    bool readOnly;
  };
  for (const Case& c :
       {Case{"install, disk full", false, false}, Case{"install, read-only", false, true},
        Case{"removal, disk full", true, false}, Case{"removal, read-only", true, true}}) {
    SCOPED_TRACE(c.name);
    clearMachine();
    testing::ScratchDirectory dir("late");
    ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
    const Product product(dir / "Applications",
                          c.removal ? std::vector<std::string>{"--hotfix-version", "1.0.2"}
                                    : std::vector<std::string>{});
    const Package package(dir / "package");
    product.setFault("sleep=2\n");
    SmallDisk disk(product.rcpHome);
    if (!disk.unavailable().empty()) GTEST_SKIP() << disk.unavailable();
    const std::string info = readFile(product.rcp("installInfo.plist")).value_or("");
    const std::string log = product.platformHome + "/workspace/logs/provisioning.log";

    std::future<RunResult> running = std::async(std::launch::async, [&] {
      if (c.removal) {
        return testing::runProgram(
            {testing::binDir() + "/patchremove", "-rcphome", product.platformHome}, {}, {}, {},
            120);
      }
      return testing::runProgram(
          {testing::binDir() + "/patchapply", package.path, dir / "Applications"},
          {{"USER", "alice"}}, {}, {}, 120);
    });
    // The launcher writes its log line before it sleeps and its result after; the removal
    // runs it twice, and the disk turns bad during the last run.
    const size_t runs = c.removal ? 2 : 1;
    const auto started = [&] {
      const std::string text = readFile(log).value_or("");
      size_t count = 0;
      for (size_t at = text.find(";Starting provisioning operation update");
           at != std::string::npos;
           at = text.find(";Starting provisioning operation update", at + 1))
        ++count;
      return count >= runs;
    };
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!started() && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ASSERT_TRUE(started()) << "the launcher did not start";
    if (c.readOnly) {
      disk.setReadOnly(true);
    } else {
      disk.fill();
    }
    const RunResult run = running.get();
    if (c.readOnly) {
      disk.setReadOnly(false);
    } else {
      disk.makeRoom();
    }

    EXPECT_FALSE(run.timedOut);
    EXPECT_EQ(readFile(product.rcp("installInfo.plist")), info);
    EXPECT_TRUE(parses(product.rcp("installInfo.plist"), Kind::kPlist));
    EXPECT_EQ(temporaryFilesBelow(product.rcpHome), std::vector<std::string>{});
    if (c.removal) {
      EXPECT_EQ(run.exitStatus, 190) << run.out;
      EXPECT_TRUE(readFile(product.deploy("uninstall.hotfix.xml"))) << "kept for a retry";
    } else {
      EXPECT_EQ(run.exitStatus, 1) << run.out << run.err;
      EXPECT_TRUE(apply_scenario::stateOf(apply_scenario::ERROR_MARKER).exists);
      // The pane must not read the provisioning result as success.
      EXPECT_EQ(apply_scenario::errorRecordOf("alice"),
                makeErrorRecord(kInstallNotCompleted, {product.rcp("installInfo.plist")}));
    }
  }
  canary.expectUnchanged();
}

}  // namespace
}  // namespace rcpinstall::faults
