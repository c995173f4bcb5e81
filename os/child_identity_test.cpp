#include <gtest/gtest.h>
#include <sys/stat.h>

#include "os/child_process.h"

namespace rcpinstall::os {
namespace {

constexpr uid_t kAlice = 1001, kBob = 1002;
constexpr gid_t kAdmin = 80;

EntryStatus dir(uid_t owner, mode_t mode = 0755, gid_t group = 0) {
  return {owner, group, static_cast<mode_t>(S_IFDIR | mode)};
}
EntryStatus file(uid_t owner, mode_t mode = 0755) {
  return {owner, 0, static_cast<mode_t>(S_IFREG | mode)};
}

TEST(LaunchAccountTest, ChoiceFromTheStatusOfHomeProgramAndDirectoriesOnTheWay) {
  using As = LaunchAccount::As;
  const LaunchAccount root{}, nobody{As::kNobody, 0, std::nullopt};
  const auto owner = [](uid_t uid, std::optional<gid_t> group = std::nullopt) {
    return LaunchAccount{As::kOwner, uid, group};
  };
  const std::optional<EntryStatus> cut;  // could not be looked at
  struct Row {
    const char* name;
    LaunchTreeStatus status;
    LaunchAccount expected;
  };
  const Row rows[] = {
      {"root's tree", {dir(0), file(0), {dir(0), dir(0)}}, root},
      {"admins' tree (root:admin 0775)",
       {dir(0, 0775, kAdmin), file(0, 0775), {dir(0, 0775, kAdmin), dir(0)}},
       root},
      {"her home, with its group", {dir(kAlice, 0755, 20), file(0), {dir(0)}}, owner(kAlice, 20)},
      {"her program", {dir(0), file(kAlice), {dir(0)}}, owner(kAlice)},
      {"the home's owner before the program's",
       {dir(kAlice, 0755, 20), file(kBob), {dir(0)}},
       owner(kAlice, 20)},
      {"the nearest directory's owner", {dir(0), file(0), {dir(kBob), dir(kAlice)}}, owner(kBob)},
      {"program anyone may change", {dir(0), file(0, 0777), {dir(0)}}, nobody},
      {"home anyone may change", {dir(0, 0777), file(0), {dir(0)}}, nobody},
      {"directory anyone may change", {dir(0), file(0), {dir(0, 0777), dir(0)}}, nobody},
      {"sticky directory with root's entry below",
       {dir(0), file(0), {dir(0, 01777), dir(0)}},
       root},
      {"sticky directory, its entry her program",
       {dir(0), file(kAlice), {dir(0, 01777)}},
       owner(kAlice)},
      {"home not looked at", {cut, file(0), {dir(0)}}, nobody},
      {"program not looked at", {dir(0), cut, {}}, nobody},
      {"real path unknown", {dir(0), file(0), {cut}}, nobody},
      {"walk cut, no owner so far", {dir(0), file(0), {dir(0), cut}}, nobody},
      {"walk cut after her directory", {dir(0), file(0), {dir(kAlice), cut}}, owner(kAlice)},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(chooseLaunchAccount(row.status), row.expected);
  }
}

}  // namespace
}  // namespace rcpinstall::os
