#include "os/user_identity.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include <cstdlib>

namespace rcpinstall::os {
namespace {

class EnvironmentGuard {
 public:
  explicit EnvironmentGuard(const char* name) : name_(name) {
    const char* value = std::getenv(name);
    if (value) saved_ = value;
  }
  ~EnvironmentGuard() {
    if (saved_) {
      ::setenv(name_, saved_->c_str(), 1);
    } else {
      ::unsetenv(name_);
    }
  }

 private:
  const char* name_;
  std::optional<std::string> saved_;
};

TEST(UserIdentityTest, InvokingUserIsUserElseTheRealUser) {
  EnvironmentGuard guard("USER");
  ::setenv("USER", "someone-else", 1);
  EXPECT_EQ(invokingUserName(), "someone-else");
  ::setenv("USER", "", 1);
  struct passwd* real = ::getpwuid(::getuid());
  ASSERT_NE(real, nullptr);
  EXPECT_EQ(invokingUserName(), std::string(real->pw_name));
  ::unsetenv("USER");
  EXPECT_EQ(invokingUserName(), std::string(real->pw_name));
  EXPECT_EQ(currentUserName(), std::string(::getpwuid(::geteuid())->pw_name));
}

TEST(UserIdentityTest, RunningAsOneselfNeedsNoSwitch) {
  uid_t seen = 12345;
  EXPECT_TRUE(runAsEffectiveUser(::geteuid(), [&] { seen = ::geteuid(); }));
  EXPECT_EQ(seen, ::geteuid());
}

TEST(UserIdentityTest, WithoutRootTheStepRunsUnswitched) {
  if (::geteuid() == 0) GTEST_SKIP() << "root can switch; covered by the sandbox test";
  uid_t seen = 12345;
  EXPECT_FALSE(runAsEffectiveUser(0, [&] { seen = ::geteuid(); }));
  EXPECT_EQ(seen, ::geteuid());
}

TEST(UserIdentityTest, AnAccountUnknownToThePasswordDatabaseIsNotSwitchedTo) {
  const uid_t unknown = 3999999;
  ASSERT_EQ(::getpwuid(unknown), nullptr);
  const uid_t before = ::geteuid();
  uid_t seen = 12345;
  EXPECT_FALSE(runAsEffectiveUser(unknown, [&] { seen = ::geteuid(); }));
  EXPECT_EQ(seen, before);
  EXPECT_EQ(::geteuid(), before);
}

}  // namespace
}  // namespace rcpinstall::os
