#include "os/system_log.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <regex>

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
  const std::string program = program_invocation_short_name;
  const std::string head = R"(^[A-Z][a-z]{2} [ 1-3][0-9] [0-2][0-9]:[0-5][0-9]:[0-6][0-9] \S+ )" +
                           program + R"(\[)" + std::to_string(::getpid()) + R"(\] )";
  std::regex lines(head + R"(<Info>: Begin to install hotfix 1\.0\.2\n)" +
                   R"([^\n]+ <Warning>: code -3\n)" + R"([^\n]+ <Error>: ends with newline\n$)");
  EXPECT_TRUE(std::regex_search(text, lines)) << text;
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
