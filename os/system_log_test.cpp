#include "os/system_log.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cctype>
#include <string>
#include <vector>

#include "tests/support/testing.h"

namespace rcpinstall::os {
namespace {

using testing::ScratchDirectory;

TEST(SystemLogTest, AttachedFileGetsOneLinePerMessage) {
  ScratchDirectory dir("log");
  const std::string path = dir / "trace.log";
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  ASSERT_GE(fd, 0);
  SystemLog::addLogFile(fd);
  SystemLog::addLogFile(fd);  // attaching twice writes once
  SystemLog::log(SystemLog::kInfo, "Begin to install hotfix %s", "1.0.2");
  SystemLog::log(SystemLog::kWarning, "code %d", -3);
  SystemLog::log(SystemLog::kError, "%s", "ends with newline\n");
  SystemLog::removeLogFile(fd);
  SystemLog::log(SystemLog::kInfo, "not written after detaching");
  ::close(fd);

  std::string text = testing::readFile(path).value_or("");
  std::vector<std::string> lines;
  for (size_t start = 0; start < text.size();) {
    size_t end = text.find('\n', start);
    ASSERT_NE(end, std::string::npos) << "every line ends with a newline: " << text;
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  ASSERT_EQ(lines.size(), 3u) << text;
  const std::string tail =
      std::string(" ") + program_invocation_short_name + "[" + std::to_string(::getpid()) + "] ";
  const char* expected[] = {"<Info>: Begin to install hotfix 1.0.2", "<Warning>: code -3",
                            "<Error>: ends with newline"};
  for (size_t i = 0; i < lines.size(); ++i) {
    const std::string& line = lines[i];
    // "Dec  8 05:09:10 host patchapply[1234] <Info>: ..."
    ASSERT_GT(line.size(), 16u) << line;
    EXPECT_NE(std::string("JanFebMarAprMayJunJulAugSepOctNovDec").find(line.substr(0, 3)),
              std::string::npos)
        << line;
    EXPECT_EQ(line[3], ' ') << line;
    EXPECT_TRUE(line[4] == ' ' || std::isdigit(static_cast<unsigned char>(line[4]))) << line;
    EXPECT_TRUE(std::isdigit(static_cast<unsigned char>(line[5]))) << line;
    EXPECT_EQ(line.substr(6, 1) + line.substr(9, 1) + line.substr(12, 1) + line.substr(15, 1),
              " :: ")
        << line;
    size_t hostEnd = line.find(' ', 16);
    ASSERT_NE(hostEnd, std::string::npos) << line;
    EXPECT_GT(hostEnd, 16u) << "a host name: " << line;
    EXPECT_EQ(line.substr(hostEnd, tail.size()), tail) << line;
    EXPECT_EQ(line.substr(hostEnd + tail.size()), expected[i]) << line;
  }
}

TEST(SystemLogTest, ClosedPipeNeitherKillsNorBlocks) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  ::close(fds[0]);  // nobody reads: a plain write would raise SIGPIPE
  SystemLog::addLogFile(fds[1]);
  SystemLog::log(SystemLog::kInfo, "into a closed pipe");
  SystemLog::removeLogFile(fds[1]);
  ::close(fds[1]);
  sigset_t pending;
  sigemptyset(&pending);
  ASSERT_EQ(::sigpending(&pending), 0);
  EXPECT_EQ(sigismember(&pending, SIGPIPE), 0);

  // A full pipe whose reader never reads: the line is dropped, the call returns.
  ASSERT_EQ(::pipe(fds), 0);
  ::fcntl(fds[1], F_SETFL, O_NONBLOCK);
  std::string chunk(65536, 'x');
  while (::write(fds[1], chunk.data(), chunk.size()) > 0) {
  }
  ::fcntl(fds[1], F_SETFL, 0);
  SystemLog::addLogFile(fds[1]);
  SystemLog::log(SystemLog::kInfo, "into a full pipe");
  SystemLog::removeLogFile(fds[1]);
  EXPECT_EQ(::fcntl(fds[1], F_GETFL) & O_NONBLOCK, 0);  // flags as they were
  ::close(fds[0]);
  ::close(fds[1]);
}

TEST(SystemLogTest, ErrnoSurvivesLogging) {
  errno = ENOENT;
  ::close(::open("/nonexistent/x", O_RDONLY));
  SystemLog::log(SystemLog::kInfo, "errno is %d", errno);
  errno = ENOENT;
  SystemLog::log(SystemLog::kInfo, "%s", "again");
  EXPECT_EQ(errno, ENOENT);
}

}  // namespace
}  // namespace rcpinstall::os
