// Entries planted at the fixed names in /tmp (symbolic link, hard link, FIFO, directory)
// pointing at or standing for a root-only canary: a failed install still ends in its normal
// outcome within its time limit, the canary is unchanged, and a planted directory stays.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "tests/faults/canary.h"
#include "tests/patchapply_scenario.h"

namespace rcpinstall::apply_scenario {
namespace {

enum class Kind { SymbolicLink, HardLink, Fifo, Directory };

const char* kindName(Kind kind) {
  switch (kind) {
    case Kind::SymbolicLink:
      return "symbolic link";
    case Kind::HardLink:
      return "hard link";
    case Kind::Fifo:
      return "FIFO";
    case Kind::Directory:
      return "directory";
  }
  return "?";
}

// Plants the entry as root. A planted directory holds a hard link to the canary, so that a
// tool deleting the directory it did not make shows in the canary's link count.
void plant(const std::string& name, Kind kind, const faults::Canary& canary, bool pasteboard) {
  switch (kind) {
    case Kind::SymbolicLink:
      ASSERT_EQ(::symlink((pasteboard ? canary.directory() : canary.path()).c_str(), name.c_str()),
                0);
      break;
    case Kind::HardLink:
      ASSERT_EQ(::link(canary.path().c_str(), name.c_str()), 0);
      break;
    case Kind::Fifo:
      ASSERT_EQ(::mkfifo(name.c_str(), 0666), 0);
      break;
    case Kind::Directory:
      ASSERT_EQ(::mkdir(name.c_str(), 0700), 0);
      ASSERT_EQ(::link(canary.path().c_str(), (name + "/kept").c_str()), 0);
      break;
  }
}

using os::PlistValue;

class TmpNameFaults : public PatchApplyScenario {};

TEST_F(TmpNameFaults, PlantedEntriesAtEachFixedName) {
  // Tracing on for alice, so that the trace log's name is opened too.
  PlistValue trace;
  trace.set(TRACE_KEY, true);
  setPreferences("alice", std::string(TRACE_DOMAIN) + ".plist", trace);
  const std::vector<std::string> names = {TRACE_LOG, ERROR_MARKER, HAND_OFF, QEL_CONFIG,
                                          "/tmp/.pasteboards-1001"};
  for (const std::string& name : names) {
    for (Kind kind : {Kind::SymbolicLink, Kind::HardLink, Kind::Fifo, Kind::Directory}) {
      SCOPED_TRACE(name + " as " + kindName(kind));
      for (const char* path : {ERROR_MARKER, HAND_OFF, TRACE_LOG, QEL_CONFIG, "/tmp/.pasteboards-0",
                               "/tmp/.pasteboards-1001"}) {
        testing::removeTree(path);
      }
      const faults::Canary canary("/tmp/.canary-tmpnames");
      const bool pasteboard = name == "/tmp/.pasteboards-1001";
      plant(name, kind, canary, pasteboard);
      const std::string dir = scratch_ / "row";
      testing::removeTree(dir);
      const Product product(dir + "/Applications");
      product.setFault("rc=1\n");
      const Package package(dir + "/package");

      std::vector<std::string> argv = {testing::binDir() + "/patchapply", package.path,
                                       dir + "/Applications"};
      const RunResult run =
          testing::runProgram(argv, {{"USER", "alice"}}, std::nullopt, std::nullopt, 60);

      EXPECT_FALSE(run.timedOut);
      EXPECT_EQ(run.exitStatus, 1) << run.out << run.err;
      // The launcher ran, and the error channel holds no error code (provisioning failed),
      // unless the channel's own directory was the planted entry.
      EXPECT_EQ(product.launcherRuns().size(), 1u);
      if (pasteboard) {
        EXPECT_EQ(errorRecordOf("alice"), std::nullopt);
      } else {
        EXPECT_EQ(errorRecordOf("alice"), makeErrorRecord(kNoError));
      }
      if (name != ERROR_MARKER || kind != Kind::Directory) {
        const EntryState marker = stateOf(ERROR_MARKER);
        EXPECT_TRUE(marker.regular);
        EXPECT_EQ(marker.mode, 0777u);
      }
      nlink_t links = 1;
      struct stat st {};
      if (kind == Kind::HardLink) {
        struct stat canaryStat {};
        ::lstat(canary.path().c_str(), &canaryStat);
        if (::lstat(name.c_str(), &st) == 0 && st.st_ino == canaryStat.st_ino) ++links;
      }
      if (kind == Kind::Directory) {
        EXPECT_TRUE(stateOf(name).exists) << "a directory the tool did not make was deleted";
        ++links;
      }
      canary.expectUnchanged(links);
    }
  }
}

}  // namespace
}  // namespace rcpinstall::apply_scenario
