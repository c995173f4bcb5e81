#include "foundation/java_properties.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <map>

#include "foundation/string_util.h"
#include "tests/support/testing.h"

namespace rcpinstall {
namespace {

using Table = JavaProperties::Table;
using StringMap = std::map<std::string, std::string>;

StringMap asMap(const Table& table) {
  return StringMap(table.begin(), table.end());
}

std::string corpusFile(const std::string& name) {
  return testing::corpusDir() + "/properties/" + name;
}

// Every properties file of the corpus, by name.
std::vector<std::string> corpusFiles() {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(corpusFile(""))) {
    if (entry.path().filename() != "SOURCES.md") names.push_back(entry.path().filename());
  }
  std::sort(names.begin(), names.end());
  return names;
}

TEST(JavaPropertiesTest, ReadsOneLine) {
  struct Row {
    std::string line, key, value;
  };
  const Row rows[] = {
      {"key = value", "key", "value"},
      {"key:value", "key", "value"},
      {"key\tvalue", "key", "value"},
      {"key=a=b : c", "key", "a=b : c"},
      {"file=file\\:/x", "file", "file:/x"},
      {"a\\ b=c", "a", "b=c"},  // the escaped space still ends the key
      {"!comment", "!comment", ""},
      {"-Xmx256m", "-Xmx256m", ""},
      {"-Xbootclasspath/a:x.jar", "-Xbootclasspath/a", ":x.jar"},
      {"-Xss = 4m", "-Xss", " = 4m"},
      {"-Dname = value", "-Dname", "value"},
      {"  key = trailing blanks \t", "key", "trailing blanks"},
      {"k=\\u00e9 a\\r\\nb", "k", "\\u00e9 a\\r\\nb"},  // kept as text
      {"k=C\\:\\\\users", "k", "C:\\users"},
      {"k=\\#\\! x\\b", "k", "#! x\\b"},
      {"unc=\\\\\\\\server\\\\share", "unc", "\\\\server\\share"},  // "\\" is one backslash
      {"end\\\\=v\\\\", "end\\", "v\\"},                            // that escapes nothing after it
      {"=v", "", "v"},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(asMap(JavaProperties::parse(row.line + "\n")), (StringMap{{row.key, row.value}}))
        << row.line;
  }
}

TEST(JavaPropertiesTest, ReadsLinesInSequence) {
  struct Row {
    std::string text;
    StringMap expected;
  };
  const Row rows[] = {
      {"# comment\n   # indented\n\n \t \nk=v", {{"k", "v"}}},
      {"a=1\r\nb=2\r\na=3\r\n", {{"a", "3"}, {"b", "2"}}},
      {"a=b \\\n   c \\\n d\n", {{"a", "b c d"}}},
      {"a=b\\\nc\n", {{"a", "b\\"}, {"c", ""}}},
      {"a=b \\\n# note\n\n  c\nd=e\n", {{"a", "b c"}, {"d", "e"}}},
      {"a=b \\\n", {{"a", "b "}}},  // a file ending in a continued value keeps the entry
      {"-Xopt=a \\\nb\n", {{"-Xopt", "=a b"}}},
      {"\xa0k=caf\xe9\x85\n", {{"k", "caf\u00e9"}}},  // ISO-8859-1, NBSP and NEL trimmed
  };
  for (const Row& row : rows) {
    EXPECT_EQ(asMap(JavaProperties::parse(row.text)), row.expected) << row.text;
  }
}

TEST(JavaPropertiesTest, WritesSortedEscapedAscii) {
  struct Row {
    StringMap table;
    std::string expected;
  };
  const Row rows[] = {
      {{{"b", "2"}, {"a", "x y"}, {"", "skipped"}}, "a=x y\nb=2\n"},
      {{{"", "v"}}, ""},
      {{{"key with space", "a:b"}}, "key\\ with\\ space=a\\:b\n"},
      {{{"dir", "C:\\users"}}, "dir=C\\:\\\\users\n"},
      {{{"k", "caf\u00e9"}}, "k=caf\\u00e9\n"},
      {{{"#k!", "=v#"}}, "\\#k\\!=\\=v\\#\n"},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(JavaProperties::serialize(Table(row.table.begin(), row.table.end())), row.expected);
  }
}

TEST(JavaPropertiesTest, VirtualMachineOptionsSurviveRewriting) {
  const std::string text = "-Xmx256m\n-Xbootclasspath/a:x.jar\n-Xss = 4m\n-Dfile.encoding=UTF-8\n";
  const std::string written = JavaProperties::serialize(JavaProperties::parse(text));
  EXPECT_EQ(written, "-Dfile.encoding=UTF-8\n-Xbootclasspath/a:x.jar\n-Xmx256m\n-Xss = 4m\n");
  EXPECT_EQ(JavaProperties::serialize(JavaProperties::parse(written)), written);
  // An option set without a separator gets one, and is stable from then on.
  const std::string set = JavaProperties::serialize({{"-Xmx", "512m"}});
  EXPECT_EQ(set, "-Xmx=512m\n");
  EXPECT_EQ(JavaProperties::serialize(JavaProperties::parse(set)), set);
}

TEST(JavaPropertiesTest, CorpusFilesAreStableUnderRewriting) {
  for (const std::string& name : corpusFiles()) {
    const std::optional<std::string> bytes = testing::readFile(corpusFile(name));
    ASSERT_TRUE(bytes) << name;
    const Table read = JavaProperties::parse(*bytes);
    const std::string written = JavaProperties::serialize(read);
    for (const char c : written) ASSERT_TRUE(c == '\n' || (c >= 0x20 && c <= 0x7E)) << name;
    // Writing what we read of our own output changes nothing, so merging the same hotfix again
    // gives the same file; its escapes decode to what the original held.
    const Table reread = JavaProperties::parse(written);
    EXPECT_EQ(JavaProperties::serialize(reread), written) << name;
    ASSERT_EQ(reread.size(), read.size()) << name;
    for (const auto& [key, value] : read) {
      EXPECT_EQ(StringUtil::convertUnicode2Characters(reread.at(key)),
                StringUtil::convertUnicode2Characters(value))
          << name << ": " << key;
    }
  }
}

TEST(JavaPropertiesTest, OwnOutputReadsBackAsWritten) {
  // Keys and values the writer escapes come back from its output unchanged, so a file rewritten
  // on every merge keeps meaning the same.
  const std::string rows[] = {
      "caf\xe9.key=1\n",  // non-ASCII keys, written as "\u00e9"
      "\x88\xff=2\n",
      "tab\\tkey=x\n\\u00e9=y\n",     // escapes kept in keys
      "key\\\n",                      // a key that ends in a backslash
      "unc=\\\\\\\\server\\\\s\n",    // a run of backslashes
      "v=a\\\\\\=b\\\\ c\\\\\\\\\n",  // backslashes before escaped characters
  };
  for (const std::string& text : rows) {
    const Table read = JavaProperties::parse(text);
    const std::string written = JavaProperties::serialize(read);
    EXPECT_EQ(asMap(JavaProperties::parse(written)).size(), read.size()) << text;
    EXPECT_EQ(JavaProperties::serialize(JavaProperties::parse(written)), written) << text;
  }
  EXPECT_EQ(JavaProperties::serialize(JavaProperties::parse("caf\\u00e9=1\n")), "caf\\u00e9=1\n");
  EXPECT_EQ(asMap(JavaProperties::parse(JavaProperties::serialize({{"end\\", "\\\\s\\"}}))),
            (StringMap{{"end\\", "\\\\s\\"}}));
}

TEST(JavaPropertiesTest, RefusesAbsentKeysAndValues) {
  JavaProperties properties;
  EXPECT_TRUE(properties.setProperty("v", "k"));
  EXPECT_FALSE(properties.setProperty(std::nullopt, "k"));
  EXPECT_FALSE(properties.setProperty("v", std::nullopt));
  EXPECT_EQ(asMap(properties.table()), (StringMap{{"k", "v"}}));
  properties.removePropertyForKey("missing");
  for (const std::string& key : properties.propertyNames()) properties.removePropertyForKey(key);
  EXPECT_TRUE(properties.allProperties().empty());
  EXPECT_FALSE(properties.savePropertiesToFile());  // no path given and none remembered
}

TEST(JavaPropertiesTest, LoadsAndSavesFiles) {
  testing::ScratchDirectory scratch("javaprops");
  const std::string savedHome = std::getenv("HOME") ? std::getenv("HOME") : "/";
  setenv("HOME", scratch.path().c_str(), 1);

  // A missing file gives an empty table; the remembered path is where a save creates it.
  JavaProperties created("~/new.properties");
  EXPECT_EQ(created.file(), scratch / "new.properties");
  created.setProperty("1", "a");
  EXPECT_TRUE(created.savePropertiesToFile());
  EXPECT_EQ(testing::readFile(scratch / "new.properties"), "a=1\n");
  EXPECT_TRUE(created.savePropertiesToFile("~/copy.properties"));
  EXPECT_EQ(testing::readFile(scratch / "copy.properties"), "a=1\n");

  // Failed writes answer false and leave what was there.
  EXPECT_FALSE(created.savePropertiesToFile(scratch / "missing-dir/x.properties"));
  ASSERT_EQ(mkdir((scratch / "a-directory").c_str(), 0755), 0);
  EXPECT_FALSE(created.savePropertiesToFile(scratch / "a-directory"));
  struct stat info {};
  EXPECT_TRUE(stat((scratch / "a-directory").c_str(), &info) == 0 && S_ISDIR(info.st_mode));
  setenv("HOME", savedHome.c_str(), 1);
}

TEST(JavaPropertiesTest, MergeOverridesKeepsOwnKeysAndRewrites) {
  testing::ScratchDirectory scratch("javaprops");
  const std::string target = scratch / "target.ini";
  ASSERT_TRUE(testing::writeFile(target, "# kept\nown=1\nshared = old\n"));
  ASSERT_TRUE(testing::writeFile(scratch / "other.ini", "shared=new\nextra=x:y\n"));
  JavaProperties(target).mergeWithJavaProperties(scratch / "other.ini");
  EXPECT_EQ(testing::readFile(target), "# kept\nown=1\nshared=new\nextra=x\\:y\n");

  // Nothing is written when there is nothing to merge; "~" is not expanded for the test.
  const std::string savedHome = std::getenv("HOME") ? std::getenv("HOME") : "/";
  setenv("HOME", scratch.path().c_str(), 1);
  const std::string original = "# comment\nb = 2\n";
  ASSERT_TRUE(testing::writeFile(target, original));
  JavaProperties properties(target);
  for (const std::optional<std::string>& path :
       {std::optional<std::string>(), std::optional<std::string>(scratch / "missing.ini"),
        std::optional<std::string>("~/other.ini")}) {
    properties.mergeWithJavaProperties(path);
    EXPECT_EQ(testing::readFile(target), original) << path.value_or("(none)");
  }
  // A key removed from what was read does not stay in the file's lines.
  properties.removePropertyForKey("b");
  properties.setProperty("1", "c");
  EXPECT_TRUE(properties.savePropertiesToFile());
  EXPECT_EQ(testing::readFile(target), "c=1\n");
  setenv("HOME", savedHome.c_str(), 1);
}

// What java.util.Properties reads from each file, by path; none when no JDK can run.
using JavaView = std::map<std::string, StringMap>;

std::string fromHex(std::string_view hex) {
  std::string out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) {
    out += static_cast<char>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16));
  }
  return out;
}

std::optional<JavaView> loadWithJava(const std::vector<std::string>& files, std::string& whyNot) {
  std::vector<std::string> argv = {
      "java", testing::sourceDir() + "/foundation/testdata/PropertiesDump.java"};
  argv.insert(argv.end(), files.begin(), files.end());
  const testing::RunResult run = testing::runProgram(argv, {}, std::nullopt, std::nullopt, 240);
  if (!run.started || run.exitStatus != 0) {
    whyNot = run.started ? "java failed: " + run.err : "no java on PATH";
    return std::nullopt;
  }
  JavaView view;
  StringMap* current = nullptr;
  for (size_t start = 0; start < run.out.size();) {
    size_t end = run.out.find('\n', start);
    if (end == std::string::npos) end = run.out.size();
    const std::string line = run.out.substr(start, end - start);
    start = end + 1;
    if (line.starts_with("ERROR ")) {
      whyNot = line;
      return std::nullopt;
    }
    if (line.starts_with("FILE ")) {
      current = &view[line.substr(5)];
    } else if (current != nullptr) {
      const size_t space = line.find(' ');
      (*current)[fromHex(line.substr(0, space))] = fromHex(line.substr(space + 1));
    }
  }
  return view;
}

#define LOAD_WITH_JAVA(view, files)                                 \
  std::string whyNot;                                               \
  const std::optional<JavaView> view = loadWithJava(files, whyNot); \
  if (!view && whyNot == "no java on PATH") GTEST_SKIP() << whyNot; \
  ASSERT_TRUE(view) << whyNot

TEST(JavaPropertiesJavaTest, JavaReadsWhatWasWritten) {
  testing::ScratchDirectory scratch("javaprops");
  // Every key and value comes back from Java exactly.
  const StringMap table = {
      {"key with spaces", "value  with  spaces "},
      {"tab\tkey", "tab\tvalue"},
      {"colon:key", "a:b:c"},
      {"equals=key", "a=b"},
      {"#hash", "#hash"},
      {"!bang", "!bang"},
      {" leading", "trailing "},
      {"back\\slash", "C:\\users\\x\\"},
      {"unc", "\\\\server\\share"},
      {"latin\u00e9\u00fc\u00df\u00ff", "caf\u00e9 \u00fcber \u00a0\u00ff"},
      {"cjk\u4e2d\u6587", "\u4e2d\u6587 \u03a9 \u20ac"},
      {"astral\U0001F600", "\U0001F600 \U0001D11E"},
      {"newline", "a\nb\rc"},
      {"empty", ""},
  };
  JavaProperties written;
  for (const auto& [key, value] : table) written.setProperty(value, key);
  const std::string exact = scratch / "exact.properties";
  ASSERT_TRUE(written.savePropertiesToFile(exact));

  // Escapes Java decodes pass through; every other backslash reads as itself, here too.
  JavaProperties escapes;
  escapes.setProperty("C:\\users", "dir");
  escapes.setProperty("\\u00e9 a\\r\\nb\\t\\f", "escapes");
  const std::string escaped = scratch / "escapes.properties";
  ASSERT_TRUE(escapes.savePropertiesToFile(escaped));
  EXPECT_EQ(asMap(JavaProperties(escaped).table()), asMap(escapes.table()));

  // Keys and values Java reads the same after the file was read and rewritten twice.
  const StringMap rewrittenTable = {
      {"latin\u00e9\u00fc", "\\\\server\\share"},
      {"cjk\u4e2d\u6587", "\u4e2d"},
      {"astral\U0001F600", "end\\"},
      {"end\\", "1"},
  };
  JavaProperties rewriting;
  for (const auto& [key, value] : rewrittenTable) rewriting.setProperty(value, key);
  const std::string twice = scratch / "twice.properties";
  ASSERT_TRUE(rewriting.savePropertiesToFile(twice));
  ASSERT_TRUE(JavaProperties(twice).savePropertiesToFile());
  ASSERT_TRUE(JavaProperties(twice).savePropertiesToFile());

  // Virtual-machine options read by Java as from the file they came from, after two rewrites.
  const std::string options = scratch / "options.properties";
  const std::string rewritten = scratch / "rewritten.properties";
  ASSERT_TRUE(testing::writeFile(options, "-Xmx256m\n-Xbootclasspath/a:x.jar\n-Xss = 4m\n"));
  ASSERT_TRUE(JavaProperties(options).savePropertiesToFile(rewritten));
  ASSERT_TRUE(JavaProperties(rewritten).savePropertiesToFile());

  LOAD_WITH_JAVA(java, (std::vector<std::string>{exact, escaped, options, rewritten, twice}));
  EXPECT_EQ(java->at(exact), table);
  EXPECT_EQ(java->at(escaped), (StringMap{{"dir", "C:\\users"}, {"escapes", "\u00e9 a\r\nb\t\f"}}));
  EXPECT_EQ(java->at(rewritten), java->at(options));
  EXPECT_EQ(java->at(twice), rewrittenTable);
}

// A customization merged into a platform's file changes only what it sets: the file keeps its
// lines (comments among them) and Java reads it as it read the original, with the values the
// customization changes and adds, whose escapes Java reads as written. Every file of the corpus,
// also with Windows line ends, without a final line end, and with lines that Java joins (a
// backslash at a line's end, no blank before it) or whose key it reads through a "\u" escape.
TEST(JavaPropertiesJavaTest, MergedCorpusFilesReadInJavaAsTheOriginals) {
  struct Row {
    std::string name, tail;
    bool crlf;
    std::string changed;  // the key the customization changes; "" for the file's greatest
  };
  const Row rows[] = {
      {"as-is", "\ndir=C\\:\\\\temp\n", false, ""},
      {"joined", "\nalist=one,\\\n  two\nb=x\n", true, "alist"},
      {"after-joined", "\nalist=one,\\\n  two\nb=x", false, "b"},
      {"escaped-key", "\n\\u0041key=old", true, "Akey"},
  };
  testing::ScratchDirectory scratch("javaprops");
  struct Merge {
    std::string target, text, changed;
  };
  std::vector<Merge> merges;
  std::vector<std::string> files;
  for (const Row& row : rows) {
    for (const std::string& name : corpusFiles()) {
      Merge merge{scratch / (row.name + "-" + name),
                  testing::readFile(corpusFile(name)).value_or("") + row.tail, row.changed};
      for (size_t at = 0; row.crlf && (at = merge.text.find('\n', at)) != std::string::npos;
           at += 2) {
        merge.text.insert(at, 1, '\r');
      }
      if (merge.changed.empty()) merge.changed = JavaProperties::parse(merge.text).rbegin()->first;
      const std::string customization = merge.target + ".customization";
      ASSERT_TRUE(testing::writeFile(customization,
                                     StringUtil::convertNSStringTo8859_1Key(merge.changed) +
                                         " = changed\nown.key = kept\ntabbed = a\\tb\\r\\nc\n"));
      ASSERT_TRUE(testing::writeFile(merge.target + ".original", merge.text));
      ASSERT_TRUE(testing::writeFile(merge.target, merge.text));
      JavaProperties(merge.target).mergeWithJavaProperties(customization);
      files.insert(files.end(), {merge.target + ".original", merge.target});
      merges.push_back(std::move(merge));
    }
  }

  LOAD_WITH_JAVA(java, files);
  for (const Merge& merge : merges) {
    StringMap expected = java->at(merge.target + ".original");
    ASSERT_GT(expected.size(), 1u) << merge.target;
    expected[merge.changed] = "changed";
    expected["own.key"] = "kept";
    expected["tabbed"] = "a\tb\r\nc";
    EXPECT_EQ(java->at(merge.target), expected) << merge.target;
    const std::string merged = testing::readFile(merge.target).value_or("");
    const std::string& text = merge.text;
    for (size_t at = text.find('#'); at != std::string::npos; at = text.find('#', at + 1)) {
      const std::string comment = text.substr(at, text.find('\n', at) - at);
      EXPECT_NE(merged.find(comment), std::string::npos) << merge.target << ": " << comment;
    }
  }
  EXPECT_EQ(java->at(scratch / "as-is-eveCSS.ini.original").at("dir"), "C:\\temp");
  // The key-binding value of the editor customization holds carriage returns and line feeds.
  EXPECT_NE(java->at(scratch / "as-is-eclipse-as-editor.ini")
                .at("org.eclipse.ui.workbench/org.eclipse.ui.commands")
                .find("?>\r\n<"),
            std::string::npos);
}

}  // namespace
}  // namespace rcpinstall
