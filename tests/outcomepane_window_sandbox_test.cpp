// End-to-end scenarios of the result pane in a real window: after runs of patchapply,
// `installer-pane-host --window --screenshot` shows the built outcomepane.bundle as alice under
// xvfb-run, and tesseract reads the picture the way a person would look at it.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "foundation/string_util.h"
#include "os/bundle.h"
#include "os/user_identity.h"
#include "tests/patchapply_scenario.h"

namespace rcpinstall::apply_scenario {
namespace {

using os::PlistValue;

const std::string kBundle = testing::libDir() + "/outcomepane.bundle";
const std::string kHost = testing::binDir() + "/installer-pane-host";

std::string text(const std::string& language, const std::string& key,
                 const std::vector<std::string>& details = {}) {
  const std::optional<os::StringsTable> table = os::parseStringsTable(
      readFile(kBundle + "/Contents/Resources/" + language + ".lproj/Provision.strings")
          .value_or(""));
  if (!table || !table->contains(key)) return "<" + language + " " + key + " missing>";
  return StringUtil::bindString(table->at(key), details).value_or("");
}

// Words as OCR can be compared on: runs of letters and digits (any non-ASCII byte counts as a
// letter), ASCII lowered.
std::vector<std::string> wordsOf(const std::string& text) {
  std::vector<std::string> words;
  std::string word;
  for (const char c : text + " ") {
    const auto u = static_cast<unsigned char>(c);
    if (std::isalnum(u) || u >= 0x80) {
      word += static_cast<char>(std::tolower(u));
    } else if (!word.empty()) {
      words.push_back(word);
      word.clear();
    }
  }
  return words;
}

// OCR confuses a letter or two of a long word; short words must match exactly.
bool nearlyEqual(const std::string& a, const std::string& b) {
  if (a == b) return true;
  if (std::min(a.size(), b.size()) < 5) return false;
  std::vector<size_t> row(b.size() + 1);
  for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    size_t diagonal = row[0];
    row[0] = i;
    for (size_t j = 1; j <= b.size(); ++j) {
      const size_t above = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] != b[j - 1])});
      diagonal = above;
    }
  }
  return row[b.size()] <= (a.size() >= 9 ? 2u : 1u);
}

// The wanted words that OCR found (each compared fuzzily against every word read).
std::vector<std::string> found(const std::vector<std::string>& wanted, const std::string& ocr) {
  const std::vector<std::string> read = wordsOf(ocr);
  std::vector<std::string> hits;
  for (const std::string& w : wanted) {
    if (std::any_of(read.begin(), read.end(), [&](const auto& r) { return nearlyEqual(w, r); })) {
      hits.push_back(w);
    }
  }
  return hits;
}

// The first words of a message, without its details (paths and names OCR may garble).
std::vector<std::string> firstWords(std::string message, const std::vector<std::string>& details,
                                    size_t count) {
  for (const std::string& detail : details) {
    for (size_t at; (at = message.find(detail)) != std::string::npos;) message.replace(at, detail.size(), " ");
  }
  std::vector<std::string> words = wordsOf(message);
  std::erase_if(words, [](const std::string& w) { return w.size() < 2; });
  if (words.size() > count) words.resize(count);
  return words;
}

std::string ocr(const std::string& png, const std::string& language) {
  const RunResult run = testing::runProgram({"tesseract", png, "stdout", "-l", language},
                                            {{"OMP_THREAD_LIMIT", "1"}});
  EXPECT_EQ(run.exitStatus, 0) << run.err;
  return run.out;
}

struct Shot {
  RunResult run;
  std::string png;
  int lines = 0, widest = 0, viewWidth = 0, viewHeight = 0, textHeight = 0, noGlyph = -1;
};

class OutcomePaneWindowScenario : public PatchApplyScenario {
 protected:
  void SetUp() override {
    PatchApplyScenario::SetUp();
    if (IsSkipped()) return;
    if (::access("/usr/bin/xvfb-run", X_OK) != 0) GTEST_SKIP() << "no xvfb-run (Debian xvfb)";
    const RunResult langs = testing::runProgram({"tesseract", "--list-langs"});
    if (langs.exitStatus != 0 || wordsOf(langs.out + langs.err).size() < 2 ||
        found({"eng", "deu"}, langs.out + langs.err).size() != 2) {
      GTEST_SKIP() << "no tesseract with English and German (tesseract-ocr-eng, -deu)";
    }
    const RunResult probe = testing::runProgram({kHost, "--window", kBundle}, {{"DISPLAY", std::nullopt}});
    if (probe.err.find("not built") != std::string::npos) GTEST_SKIP() << probe.err;
    // The X server's socket folder, as a system makes it, for alice's Xvfb.
    ::mkdir("/tmp/.X11-unix", 01777);
    ::chmod("/tmp/.X11-unix", 01777);
    ASSERT_EQ(::mkdir(shots_.c_str(), 0755), 0);
    ASSERT_EQ(::chown(shots_.c_str(), os::lookupUserId("alice").value_or(0), -1), 0);
  }

  // Shows the pane in a window under xvfb-run, as alice, at twice the scale (for OCR), and
  // takes its screenshot, which presses Continue.
  Shot shoot(const std::vector<std::string>& options) {
    Shot shot;
    shot.png = shots_ + "/" + std::to_string(++count_) + ".png";
    std::vector<std::string> argv = {"xvfb-run", "-a", "-s", "-screen 0 1600x1400x24",
                                     kHost, "--window", "--screenshot", shot.png};
    argv.insert(argv.end(), options.begin(), options.end());
    argv.push_back(kBundle);
    shot.run = testing::runProgram(
        argv, {{"GDK_SCALE", "2"}, {"NO_AT_BRIDGE", "1"}, {"ASAN_OPTIONS", "detect_leaks=0"}},
        "alice", std::nullopt, 120);
    static const std::regex report(
        R"((\d+) lines in a (\d+)x(\d+) view, widest line (\d+), height (\d+) \(\w+\), (\d+) characters without a glyph)");
    std::smatch m;
    if (std::regex_search(shot.run.out, m, report)) {
      shot.lines = std::stoi(m[1]), shot.viewWidth = std::stoi(m[2]);
      shot.viewHeight = std::stoi(m[3]), shot.widest = std::stoi(m[4]);
      shot.textHeight = std::stoi(m[5]), shot.noGlyph = std::stoi(m[6]);
    }
    EXPECT_EQ(shot.run.exitStatus, 0) << shot.run.out << shot.run.err;
    EXPECT_EQ(shot.noGlyph, 0) << shot.run.out;
    EXPECT_LE(shot.widest, shot.viewWidth) << "cut off at the right edge: " << shot.run.out;
    return shot;
  }

  // The pane's own files, as a run left them, so that each language starts from the same state.
  void saveState(const std::string& result) {
    saved_ = scratch_ / "saved";
    std::system(("rm -rf '" + saved_ + "' && mkdir -p '" + saved_ + "' && cp -a /tmp/.pasteboards-1001 '" +
                 saved_ + "/pb' 2>/dev/null; cp -a '" + result + "' '" + saved_ + "/rc' 2>/dev/null")
                    .c_str());
  }
  void restoreState(const std::string& result) {
    std::system(("rm -rf /tmp/.pasteboards-1001 && cp -a '" + saved_ + "/pb' /tmp/.pasteboards-1001 "
                 "2>/dev/null; cp -a '" + saved_ + "/rc' '" + result + "' 2>/dev/null")
                    .c_str());
    ASSERT_TRUE(writeFile(QEL_CONFIG, "left over\n"));
    ASSERT_EQ(::chown(QEL_CONFIG, os::lookupUserId("alice").value_or(0), -1), 0);
  }

  void expectLeft(const std::string& result) {
    EXPECT_FALSE(stateOf(result).exists);
    EXPECT_FALSE(stateOf(QEL_CONFIG).exists);
    EXPECT_EQ(errorRecordOf("alice"), makeErrorRecord(kNoError));
  }

  std::string shots_ = scratch_ / "shots";
  std::string saved_;
  int count_ = 0;
};

void shareWithAdmin(const std::string& dir) {
  ASSERT_EQ(::chown(dir.c_str(), -1, os::lookupGroupId("admin").value_or(0)), 0);
  ASSERT_EQ(::chmod(dir.c_str(), 0775), 0);
}

TEST_F(OutcomePaneWindowScenario, ShowsEachOutcomeInEnglishGermanAndJapanese) {
  struct Case {
    const char* name;
    std::optional<std::vector<std::string>> product;
    std::string destination;
    std::vector<std::string> package;
    std::string key;
    std::vector<std::string> details;  // "@" stands for the case's directory
  };
  const std::vector<Case> cases = {
      {"success", {{}}, "Applications", {}, "provisioning_request_success", {}},
      {"partial results", {{}}, "Applications", {"--unfetchable", "com.zantec.orrery.fix.ui"},
       "provisioning_request_partial_results", {}},
      {"failure", {{}}, "Applications", {}, "provisioning_request_unexpected_failure", {}},
      {"code 3", {{}}, "Apps;old", {}, "install_location_invalid_allow_nonascii_error", {}},
      {"code 6", {{}}, "Applications", {}, "install_instance_is_running", {"Orrery"}},
      {"code 7", {{"--hotfix-version", "2.0"}}, "Applications", {"--version", "1.0"},
       "hotfix_found_higher_version", {"@/Applications/Orrery.app"}},
      {"code 8", std::nullopt, "Applications", {}, "hotfix_not_found_installed_platform_error",
       {"@/Applications"}},
  };
  int index = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    clearMachine();
    const std::string dir = scratch_ / ("run-" + std::to_string(index++));
    const std::string destination = dir + "/" + c.destination;
    const std::string platformHome = destination + "/Orrery.app/Contents/MacOS";
    const std::string result = platformHome + "/.provisioning_rc";
    if (c.product) {
      const Product product(destination, *c.product);
      if (std::string_view(c.name) == "failure") product.setFault("rc=1\n");
      shareWithAdmin(platformHome);
    }
    const Package package(dir + "/package", c.package);
    std::vector<std::string> details;
    for (const std::string& d : c.details) details.push_back(d[0] == '@' ? dir + d.substr(1) : d);
    pid_t running = -1;
    if (std::string_view(c.name) == "code 6") {
      ASSERT_TRUE(writeFile(platformHome + "/Orrery", readFile("/bin/sleep").value_or(""), 0755));
      running = ::fork();
      if (running == 0) {
        const std::string sleeper = platformHome + "/Orrery";
        ::execl(sleeper.c_str(), sleeper.c_str(), "120", static_cast<char*>(nullptr));
        ::_exit(127);
      }
      std::error_code error;
      for (int i = 0; i < 200 && std::filesystem::read_symlink(
                                     "/proc/" + std::to_string(running) + "/exe", error) !=
                                     platformHome + "/Orrery";
           ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
    }
    const RunResult install = patchapply({package.path, destination});
    if (running > 0) {
      ::kill(running, SIGKILL);
      ::waitpid(running, nullptr, 0);
    }
    ASSERT_TRUE(install.started);
    saveState(result);

    std::string englishWords;
    for (const std::string language : {"en", "de"}) {
      SCOPED_TRACE(language);
      restoreState(result);
      const Shot shot = shoot({"--language", language});
      const std::string read = ocr(shot.png, language == "en" ? "eng" : "deu");
      const std::vector<std::string> title = wordsOf(text(language, "Title"));
      EXPECT_EQ(found(title, read), title) << read;
      const std::vector<std::string> wanted = firstWords(text(language, c.key, details), details, 6);
      EXPECT_GE(found(wanted, read).size() + 1, wanted.size()) << read;
      expectLeft(result);
      // The picture of README.md (docs/pane.png) is this one, when asked for.
      const char* picture = std::getenv("RCP_PANE_PICTURE");
      if (picture != nullptr && language == "en" && std::string_view(c.name) == "partial results") {
        std::filesystem::copy_file(shot.png, picture, std::filesystem::copy_options::overwrite_existing);
      }
      if (language == "en") englishWords = text("en", c.key, details) + " " + text("en", "Title");
    }

    // Japanese: real glyphs (none missing), and OCR for Latin script finds none of the English
    // words but those of the details (paths and names).
    restoreState(result);
    const Shot japanese = shoot({"--language", "ja"});
    const std::string read = ocr(japanese.png, "eng");
    std::vector<std::string> english = firstWords(englishWords, details, 100);
    // The platform's status line of a partial result is its own text, not the pane's.
    const std::string platform =
        "Provisioning completed with partial results 2 features installed Not fetched: "
        "com.zantec.orrery.fix.ui 1.0.2 Restart the product";
    std::erase_if(english, [&](const std::string& w) {
      return w.size() < 4 || (std::string_view(c.name) == "partial results" &&
                              !found({w}, platform).empty());
    });
    EXPECT_EQ(found(english, read), std::vector<std::string>{}) << read;
    std::vector<std::string> ink = wordsOf(read);
    std::erase_if(ink, [](const std::string& w) { return w == "go" || w == "back" || w == "continue"; });
    EXPECT_GE(ink.size(), 3u) << "nothing drawn in the text area: " << read;
    expectLeft(result);
  }
}

// Code 3 with its character list, then a long final status line: the text wraps at any width
// the window has and scrolls; its last word is there after scrolling.
TEST_F(OutcomePaneWindowScenario, LongMessageWrapsAndScrolls) {
  const std::string platformHome = scratch_ / "platform";
  std::filesystem::create_directories(platformHome + "/rcp");
  std::filesystem::create_directories(platformHome + "/data/logs");
  shareWithAdmin(platformHome);
  PlistValue handOff;
  handOff.set("pathToRcpHome", platformHome + "/rcp");
  handOff.set("P_RCPDATA", platformHome + "/data");
  ASSERT_TRUE(os::writePlistFile(HAND_OFF, handOff));
  std::string status = "Provisioning completed with partial results|-Not fetched: ";
  for (int i = 0; i < 40; ++i) status += "com.zantec.orrery.feature" + std::to_string(i) + " 1.0." + std::to_string(i) + ", ";
  status += "org.example." + std::string(90, 'x') + "|Restart the product to finish Zanzibar";
  ASSERT_TRUE(writeFile(platformHome + "/data/logs/provisioning.log",
                        "a;b;c;d;e;f;Started;g\n1;2;3;4;5;6;" + status + ";7\n"));
  const std::string result = platformHome + "/.provisioning_rc";
  auto prepare = [&] {
    ::setenv("USER", "alice", 1);
    InstallUtil::initInternalPasteboard(true);
    InstallUtil::sendErrorMessage(makeErrorRecord(kUnsupportedCharacters));
    ::setenv("USER", "root", 1);
    ASSERT_TRUE(writeFile(result, "rc=2\n"));
  };

  prepare();
  const Shot top = shoot({"--language", "en"});
  EXPECT_GT(top.textHeight, top.viewHeight) << top.run.out;
  EXPECT_EQ(found({"zanzibar"}, ocr(top.png, "eng")).size(), 0u);
  EXPECT_FALSE(stateOf(result).exists);

  prepare();
  const Shot end = shoot({"--language", "en", "--scroll-to-end"});
  const std::string read = ocr(end.png, "eng");
  EXPECT_EQ(found({"restart", "finish", "zanzibar"}, read).size(), 3u) << read;
  EXPECT_EQ(end.lines, top.lines);

  // A narrower window wraps into more lines, a wider one into fewer; nothing is cut off.
  prepare();
  const Shot narrow = shoot({"--language", "de", "--size", "300x200"});
  prepare();
  const Shot wide = shoot({"--language", "de", "--size", "1000x300"});
  EXPECT_LT(narrow.viewWidth, wide.viewWidth);
  EXPECT_GT(narrow.lines, wide.lines);
  expectLeft(result);
}

TEST_F(OutcomePaneWindowScenario, WithoutADisplayItSaysSoInOneLine) {
  const RunResult run = testing::runProgram({kHost, "--window", kBundle},
                                            {{"DISPLAY", std::nullopt}, {"WAYLAND_DISPLAY", std::nullopt}},
                                            "alice");
  EXPECT_EQ(run.exitStatus, 1);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
  EXPECT_NE(run.err.find("display"), std::string::npos) << run.err;
}

}  // namespace
}  // namespace rcpinstall::apply_scenario
