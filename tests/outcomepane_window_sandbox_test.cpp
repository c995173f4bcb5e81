// End-to-end scenarios of the result pane in a real window: after runs of patchapply,
// `installer-pane-host --window --screenshot` shows the built outcomepane.bundle as alice under
// xvfb-run, and tesseract reads the picture as a person would look at it.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <filesystem>
#include <iterator>
#include <regex>
#include <sstream>
#include <thread>

#include "foundation/string_util.h"
#include "os/bundle.h"
#include "os/user_identity.h"
#include "tests/patchapply_scenario.h"

namespace rcpinstall::apply_scenario {
namespace {

const std::string kBundle = testing::libDir() + "/outcomepane.bundle";
const std::string kHost = testing::binDir() + "/installer-pane-host";
using Words = std::vector<std::string>;

// A text of the bundle's table, its "%@" left out.
std::string text(const std::string& language, const std::string& key) {
  const auto table = os::parseStringsTable(
      readFile(kBundle + "/Contents/Resources/" + language + ".lproj/Provision.strings")
          .value_or(""));
  return table && table->contains(key) ? StringUtil::bindString(table->at(key), {}).value_or("")
                                       : "<missing " + key + ">";
}

// Runs of letters and digits (a non-ASCII byte is a letter), lowered, at least `least` long.
Words wordsOf(const std::string& text, size_t least = 1) {
  Words words{""};
  for (const char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (std::isalnum(u) || u >= 0x80) {
      words.back() += static_cast<char>(std::tolower(u));
    } else if (!words.back().empty()) {
      words.emplace_back();
    }
  }
  std::erase_if(words, [&](const std::string& w) { return w.size() < least; });
  return words;
}

Words split(const std::string& options) {
  std::istringstream in(options);
  return {std::istream_iterator<std::string>(in), {}};
}

// The wanted words OCR read, a long word with a letter or two misread (edit distance).
Words found(const Words& wanted, const std::string& ocr) {
  Words hits;
  for (const std::string& w : wanted) {
    for (const std::string& r : wordsOf(ocr)) {
      std::vector<size_t> row(r.size() + 1);
      for (size_t j = 0; j <= r.size(); ++j) row[j] = j;
      for (size_t i = 1; i <= w.size(); ++i) {
        size_t diagonal = std::exchange(row[0], i);
        for (size_t j = 1; j <= r.size(); ++j) {
          diagonal = std::exchange(
              row[j], std::min({row[j] + 1, row[j - 1] + 1, diagonal + (w[i - 1] != r[j - 1])}));
        }
      }
      if (row[r.size()] <= (w.size() >= 9 ? 2u : w.size() >= 5 ? 1u : 0u)) {
        hits.push_back(w);
        break;
      }
    }
  }
  return hits;
}

std::string ocr(const std::string& png, const std::string& language) {
  const RunResult run = testing::runProgram({"tesseract", png, "stdout", "-l", language},
                                            {{"OMP_THREAD_LIMIT", "1"}});
  EXPECT_EQ(run.exitStatus, 0) << run.err;
  return run.out;
}

// A screenshot and what the host reported of the text's layout, in points.
struct Shot {
  RunResult run;
  std::string png;
  int lines = 0, viewWidth = 0, viewHeight = 0, widest = 0, height = 0, noGlyph = -1;
};

class OutcomePaneWindowScenario : public PatchApplyScenario {
 protected:
  void SetUp() override {
    PatchApplyScenario::SetUp();
    if (IsSkipped()) return;
    if (::access("/usr/bin/xvfb-run", X_OK) != 0) GTEST_SKIP() << "no xvfb-run (Debian xvfb)";
    const RunResult langs = testing::runProgram({"tesseract", "--list-langs"});
    if (found({"eng", "deu"}, langs.out).size() != 2) {
      GTEST_SKIP() << "no tesseract with English and German (tesseract-ocr-eng, -deu)";
    }
    const RunResult probe = testing::runProgram({kHost, "--window", kBundle}, {{"DISPLAY", {}}});
    if (probe.err.find("not built") != std::string::npos) GTEST_SKIP() << probe.err;
    ::mkdir("/tmp/.X11-unix", 01777);  // as the system makes it, for alice's X server
    ASSERT_EQ(::mkdir(shots_.c_str(), 0755), 0);
    ASSERT_EQ(::chown(shots_.c_str(), os::lookupUserId("alice").value_or(0), -1), 0);
  }

  // The pane in a window under xvfb-run as alice, at twice the scale for OCR; the screenshot
  // presses Continue, so the pane's exit operations have run afterwards.
  Shot shoot(const Words& options) {
    Shot shot{{}, shots_ + "/" + std::to_string(++count_) + ".png"};
    Words argv = {"xvfb-run", "-a", "-s", "-screen 0 1600x1400x24", kHost, "--window"};
    argv.insert(argv.end(), options.begin(), options.end());
    argv.insert(argv.end(), {"--screenshot", shot.png, kBundle});
    shot.run = testing::runProgram(
        argv, {{"GDK_SCALE", "2"}, {"NO_AT_BRIDGE", "1"}, {"ASAN_OPTIONS", "detect_leaks=0"}},
        "alice", std::nullopt, 120);
    static const std::regex report(R"((\d+) lines in a (\d+)x(\d+) view, widest line (\d+), )"
                                   R"(height (\d+) \(\w+\), (\d+) characters without a glyph)");
    if (std::smatch m; std::regex_search(shot.run.out, m, report)) {
      int* fields[] = {&shot.lines,  &shot.viewWidth, &shot.viewHeight,
                       &shot.widest, &shot.height,    &shot.noGlyph};
      for (int i = 0; i < 6; ++i) *fields[i] = std::stoi(m[i + 1]);
    }
    EXPECT_EQ(shot.run.exitStatus, 0) << shot.run.out << shot.run.err;
    EXPECT_EQ(shot.noGlyph, 0) << shot.run.out;
    EXPECT_LE(shot.widest, shot.viewWidth) << "cut off at the right edge: " << shot.run.out;
    EXPECT_FALSE(stateOf(result_).exists);
    EXPECT_FALSE(stateOf(QEL_CONFIG).exists);
    EXPECT_EQ(errorRecordOf("alice"), makeErrorRecord(kNoError));
    return shot;
  }

  // The pane's own files as a run left them: kept, then put back before each screenshot. The
  // result file may be absent, so the copies' status is not looked at.
  void keep() {
    const std::string kept = scratch_ / "kept";
    [[maybe_unused]] const int status =
        std::system(("rm -rf '" + kept + "'; mkdir '" + kept + "'; cp -a /tmp/.pasteboards-1001 '" +
                     kept + "/pb'; cp -a '" + result_ + "' '" + kept + "/rc' 2>/dev/null")
                        .c_str());
  }
  void putBack() {
    const std::string kept = scratch_ / "kept";
    [[maybe_unused]] const int status =
        std::system(("rm -rf /tmp/.pasteboards-1001; cp -a '" + kept +
                     "/pb' /tmp/.pasteboards-1001; "
                     "cp -a '" +
                     kept + "/rc' '" + result_ + "' 2>/dev/null")
                        .c_str());
    ASSERT_TRUE(writeFile(QEL_CONFIG, "left over\n"));
    ASSERT_EQ(::chown(QEL_CONFIG, os::lookupUserId("alice").value_or(0), -1), 0);
  }

  std::string shots_ = scratch_ / "shots";
  std::string result_;
  int count_ = 0;
};

void shareWithAdmin(const std::string& dir) {
  ASSERT_EQ(::chown(dir.c_str(), -1, os::lookupGroupId("admin").value_or(0)), 0);
  ASSERT_EQ(::chmod(dir.c_str(), 0775), 0);
}

TEST_F(OutcomePaneWindowScenario, ShowsEachOutcomeInEnglishGermanAndJapanese) {
  struct Case {
    std::string name, key, product = "", package = "";  // rcpsim options; product "-": none
  };
  const std::vector<Case> cases = {
      {"success", "provisioning_request_success"},
      {"partial results", "provisioning_request_partial_results", "",
       "--unfetchable com.zantec.orrery.fix.ui"},
      {"failure", "provisioning_request_unexpected_failure"},
      {"code 3", "install_location_invalid_allow_nonascii_error"},  // a ";" in the destination
      {"code 6", "install_instance_is_running"},
      {"code 7", "hotfix_found_higher_version", "--hotfix-version 2.0", "--version 1.0"},
      {"code 8", "hotfix_not_found_installed_platform_error", "-"}};
  int index = 0;
  for (const auto& [name, key, product, package] : cases) {
    SCOPED_TRACE(name);
    clearMachine();
    const std::string dir = scratch_ / ("run-" + std::to_string(index++));
    const std::string destination = dir + (name == "code 3" ? "/Apps;old" : "/Applications");
    const std::string platformHome = destination + "/Orrery.app/Contents/MacOS";
    result_ = platformHome + "/.provisioning_rc";
    if (product != "-") {
      const Product made(destination, split(product));
      if (name == "failure") made.setFault("rc=1\n");
      shareWithAdmin(platformHome);
    }
    pid_t running = -1;
    if (name == "code 6") {  // the product runs: a copy of sleep under its name
      const std::string executable = platformHome + "/Orrery";
      ASSERT_TRUE(writeFile(executable, readFile("/bin/sleep").value_or(""), 0755));
      if ((running = ::fork()) == 0) ::execl(executable.c_str(), "Orrery", "60", nullptr), _exit(1);
      std::error_code e;
      for (int i = 0; i < 500 && std::filesystem::read_symlink(
                                     "/proc/" + std::to_string(running) + "/exe", e) != executable;
           ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
    }
    ASSERT_TRUE(patchapply({Package(dir + "/package", split(package)).path, destination}).started);
    if (running > 0) ::kill(running, SIGKILL), ::waitpid(running, nullptr, 0);
    keep();

    for (const std::string language : {"en", "de"}) {
      SCOPED_TRACE(language);
      putBack();
      const Shot shot = shoot({"--language", language});
      const std::string read = ocr(shot.png, language == "en" ? "eng" : "deu");
      const Words title = wordsOf(text(language, "Title"));
      EXPECT_EQ(found(title, read), title) << read;
      Words first = wordsOf(text(language, key), 2);
      first.resize(std::min<size_t>(first.size(), 6));
      EXPECT_GE(found(first, read).size() + 1, first.size()) << read;
      const char* picture = std::getenv("RCP_PANE_PICTURE");  // docs/pane.png of README.md
      if (picture != nullptr && language == "en" && name == "partial results") {
        std::filesystem::copy_file(shot.png, picture,
                                   std::filesystem::copy_options::overwrite_existing);
      }
    }

    // Japanese: no glyph missing, something drawn, and OCR for Latin script reads none of the
    // pane's English words (paths and names in the details and the platform's status line are
    // no words of the pane's table).
    putBack();
    const std::string read = ocr(shoot({"--language", "ja"}).png, "eng");
    Words english = wordsOf(text("en", key) + " " + text("en", "Title"), 4);
    if (name == "partial results") {
      std::erase_if(english,
                    [](auto& w) { return !found({w}, "features installed results").empty(); });
    }
    EXPECT_EQ(found(english, read), Words{}) << read;
    EXPECT_GE(wordsOf(read).size(), 5u) << "nothing drawn: " << read;
  }
}

// Code 3 with its character list and a long final status line: the text wraps at any width of
// the window and scrolls; its last words are there after scrolling.
TEST_F(OutcomePaneWindowScenario, LongMessageWrapsAndScrolls) {
  const std::string platformHome = scratch_ / "platform";
  std::filesystem::create_directories(platformHome + "/rcp");
  std::filesystem::create_directories(platformHome + "/data/logs");
  shareWithAdmin(platformHome);
  os::PlistValue handOff;
  handOff.set("pathToRcpHome", platformHome + "/rcp");
  handOff.set("P_RCPDATA", platformHome + "/data");
  ASSERT_TRUE(os::writePlistFile(HAND_OFF, handOff));
  std::string status = "Completed with partial results|-Not fetched: ";
  for (int i = 0; i < 40; ++i) status += "com.zantec.orrery.feature" + std::to_string(i) + " 1.0, ";
  status += "org.example." + std::string(90, 'x') + "|Restart the product to finish Zanzibar";
  ASSERT_TRUE(
      writeFile(platformHome + "/data/logs/provisioning.log", "1;2;3;4;5;6;" + status + ";7\n"));
  result_ = platformHome + "/.provisioning_rc";
  auto shootLong = [&](const Words& options) {
    ::setenv("USER", "alice", 1);
    InstallUtil::initInternalPasteboard(true);
    InstallUtil::sendErrorMessage(makeErrorRecord(kUnsupportedCharacters));
    ::setenv("USER", "root", 1);
    EXPECT_TRUE(writeFile(result_, "rc=2\n"));
    return shoot(options);
  };

  const Shot top = shootLong({"--language", "en"});
  EXPECT_GT(top.height, top.viewHeight) << top.run.out;
  EXPECT_EQ(found({"zanzibar"}, ocr(top.png, "eng")), Words{});
  const Shot end = shootLong({"--language", "en", "--scroll-to-end"});
  const std::string read = ocr(end.png, "eng");
  EXPECT_EQ(found({"restart", "finish", "zanzibar"}, read).size(), 3u) << read;
  const Shot narrow = shootLong({"--language", "de", "--size", "300x200"});
  const Shot wide = shootLong({"--language", "de", "--size", "1000x300"});
  EXPECT_LT(narrow.viewWidth, wide.viewWidth);
  EXPECT_GT(narrow.lines, wide.lines);
}

TEST_F(OutcomePaneWindowScenario, WithoutADisplayItSaysSoInOneLine) {
  const RunResult run = testing::runProgram({kHost, "--window", kBundle},
                                            {{"DISPLAY", {}}, {"WAYLAND_DISPLAY", {}}}, "alice");
  EXPECT_EQ(run.exitStatus, 1);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
  EXPECT_NE(run.err.find("display"), std::string::npos) << run.err;
}

}  // namespace
}  // namespace rcpinstall::apply_scenario
