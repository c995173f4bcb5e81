#include "foundation/register_file.h"

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <sstream>
#include <string>
#include <vector>

#include "os/system_log.h"
#include "tests/support/testing.h"

namespace rcpinstall {
namespace {

using testing::ScratchDirectory;

// Collects what the system log writes to an attached descriptor, as "<Level>: message".
class LogCapture {
 public:
  LogCapture() : file_(dir_ / "log") {
    fd_ = ::open(file_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    os::SystemLog::addLogFile(fd_);
  }
  ~LogCapture() {
    os::SystemLog::removeLogFile(fd_);
    ::close(fd_);
  }
  std::vector<std::string> lines() const {
    std::vector<std::string> result;
    std::istringstream in(testing::readFile(file_).value_or(""));
    for (std::string line; std::getline(in, line);) {
      size_t level = line.find("] <");
      result.push_back(level == std::string::npos ? line : line.substr(level + 2));
    }
    return result;
  }

 private:
  ScratchDirectory dir_;
  std::string file_;
  int fd_ = -1;
};

std::string registry(const std::vector<std::pair<std::string, std::string>>& entries) {
  std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>";
  for (const auto& [key, value] : entries) xml += "<key>" + key + "</key>" + value;
  return xml + "</dict></plist>\n";
}

class RegisterFileTest : public ::testing::Test {
 protected:
  void writeRegistry(const std::string& product, const std::string& xml) {
    ASSERT_EQ(::mkdir((root_ / product).c_str(), 0755), 0);
    ASSERT_TRUE(testing::writeFile(root_ / product + "/framework.plist", xml));
  }
  ScratchDirectory root_;
};

TEST_F(RegisterFileTest, GettersReadOneStringKeyEach) {
  struct Row {
    const char* name;
    std::optional<std::string> xml;  // none: no registry for the product
    std::optional<std::string> product, oldLocation, rcpHome, hotfix;
  };
  const std::vector<Row> rows = {
      {"full",
       registry({{"pathToProduct", "<string>/Applications/Orrery.app</string>"},
                 {"oldInstallLocation", "<string>/Applications/Orrery.app/Contents</string>"},
                 {"hotfixVersion", "<string>2.1.0.3</string>"},
                 {"somethingElse", "<integer>3</integer>"}}),
       "/Applications/Orrery.app", "/Applications/Orrery.app/Contents",
       "/Applications/Orrery.app/Contents/rcp", "2.1.0.3"},
      {"trailing slash", registry({{"oldInstallLocation", "<string>/Opt/Orrery/</string>"}}),
       std::nullopt, "/Opt/Orrery/", "/Opt/Orrery/rcp", std::nullopt},
      {"no oldInstallLocation",
       registry({{"pathToProduct", "<string>/Applications/Orrery.app</string>"}}),
       "/Applications/Orrery.app", std::nullopt, std::nullopt, std::nullopt},
      // Values of another type are not locations; the registry answers nothing for them.
      {"not strings",
       registry({{"pathToProduct", "<integer>1</integer>"},
                 {"oldInstallLocation", "<array><string>/x</string></array>"}}),
       std::nullopt, std::nullopt, std::nullopt, std::nullopt},
      {"unparsable", std::string("pathToProduct=/Applications"), std::nullopt, std::nullopt,
       std::nullopt, std::nullopt},
      {"no registry", std::nullopt, std::nullopt, std::nullopt, std::nullopt, std::nullopt},
  };
  int index = 0;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const std::string product = "Product" + std::to_string(index++);
    if (row.xml) writeRegistry(product, *row.xml);
    RegisterFile file(product, root_.path());
    EXPECT_EQ(file.getRegisterDirectory(), root_ / product);
    EXPECT_EQ(file.getProductPath(), row.product);
    EXPECT_EQ(file.getOldInstallLocation(), row.oldLocation);
    EXPECT_EQ(file.getPathToRcpHome(), row.rcpHome);
    EXPECT_EQ(file.getHotfixVersion(), row.hotfix);
  }
}

TEST_F(RegisterFileTest, ProductNamesThatLeaveTheRegistryDirectoryReadNothing) {
  // A registry planted beside the product directories must not be reachable by name.
  ASSERT_TRUE(testing::writeFile(root_ / "framework.plist",
                                 registry({{"pathToProduct", "<string>/evil</string>"}})));
  writeRegistry("inner", registry({{"pathToProduct", "<string>/inner</string>"}}));
  for (const char* name : {"", ".", "..", "inner/..", "../", "a/b"}) {
    SCOPED_TRACE(name);
    RegisterFile file(name, root_ / "inner");
    EXPECT_EQ(file.getProductPath(), std::nullopt);
  }
  EXPECT_EQ(RegisterFile("inner", root_.path()).getProductPath(), "/inner");
}

TEST_F(RegisterFileTest, DefaultLocation) {
  EXPECT_EQ(RegisterFile("Orrery").getRegisterDirectory(),
            "/Library/Application Support/Fernhollow/Orrery");
}

TEST_F(RegisterFileTest, UpdateHotfixVersionRecordsAndLogs) {
  writeRegistry("Orrery", registry({{"pathToProduct", "<string>/Applications/Orrery.app</string>"},
                                    {"hotfixVersion", "<string>1.0</string>"}}));
  {
    LogCapture log;
    RegisterFile("Orrery", root_.path()).updateHotfixVersion("2.1.0.4");
    EXPECT_THAT(log.lines(),
                ::testing::ElementsAre("<Info>: Update CURRENT_HOTFIX_VERSION to 2.1.0.4"));
  }
  RegisterFile reread("Orrery", root_.path());
  EXPECT_EQ(reread.getHotfixVersion(), "2.1.0.4");
  EXPECT_EQ(reread.getProductPath(), "/Applications/Orrery.app");

  // Without a registry nothing can be recorded, and no file is created.
  {
    LogCapture log;
    RegisterFile("Missing", root_.path()).updateHotfixVersion("2.1.0.4");
    EXPECT_THAT(log.lines(),
                ::testing::ElementsAre("<Warning>: Fail to update CURRENT_HOTFIX_VERSION",
                                       "<Warning>: Fail to save CURRENT_HOTFIX_VERSION"));
  }
  EXPECT_FALSE(testing::readFile(root_ / "Missing/framework.plist"));

  // A write that fails is logged as such.
  if (::geteuid() != 0) {  // root writes into read-only directories
    ASSERT_EQ(::chmod((root_ / "Orrery").c_str(), 0555), 0);
    LogCapture log;
    RegisterFile("Orrery", root_.path()).updateHotfixVersion("3.0");
    ::chmod((root_ / "Orrery").c_str(), 0755);
    EXPECT_THAT(log.lines(),
                ::testing::ElementsAre("<Info>: Update CURRENT_HOTFIX_VERSION to 3.0",
                                       "<Warning>: Fail to save CURRENT_HOTFIX_VERSION"));
    EXPECT_EQ(RegisterFile("Orrery", root_.path()).getHotfixVersion(), "2.1.0.4");
  }
}

}  // namespace
}  // namespace rcpinstall
