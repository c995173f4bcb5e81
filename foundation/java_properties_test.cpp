#include "foundation/java_properties.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
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

std::string latin1File(const std::string& name) {
  return testing::corpusDir() + "/properties/" + name;
}

const char* const kCorpusFiles[] = {
    "eclipse-as-editor.ini",      "eveCSS.ini",   "rbe_de.properties", "rulebender.ini",
    "tomcatplugin_de.properties", "zamiacad.ini",
};

// Sets an environment variable for the scope of one test.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::string& value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    setenv(name, value.c_str(), 1);
  }
  ~ScopedEnv() {
    if (old_) {
      setenv(name_, old_->c_str(), 1);
    } else {
      unsetenv(name_);
    }
  }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

TEST(JavaPropertiesTest, ReadsOneLine) {
  struct Row {
    std::string line, key, value;
  };
  const Row rows[] = {
      {"key = value", "key", "value"},
      {"key:value", "key", "value"},
      {"key value", "key", "value"},
      {"key\t=\tvalue", "key", "value"},
      {"key=a=b", "key", "a=b"},
      {"key = a b : c", "key", "a b : c"},
      {"file=file\\:/x", "file", "file:/x"},
      {"a\\ b=c", "a", "b=c"},  // the escaped space still ends the key
      {"a\\=b=c", "a", "b=c"},
      {"!comment", "!comment", ""},
      {"-Xmx256m", "-Xmx256m", ""},
      {"-Xbootclasspath/a:x.jar", "-Xbootclasspath/a", ":x.jar"},
      {"-Xss = 4m", "-Xss", " = 4m"},
      {"-Dname = value", "-Dname", "value"},
      {"   indented.key = trailing blanks   \t", "indented.key", "trailing blanks"},
      {"k=\\u00e9", "k", "\\u00e9"},  // "\u" escapes stay as text
      {"k=a\\r\\nb", "k", "a\\r\\nb"},
      {"k=C\\:\\\\users", "k", "C:\\users"},
      {"k=\\#\\!\\ x", "k", "#! x"},
      {"k=a\\b", "k", "a\\b"},
      {"k=", "k", ""},
      {"k", "k", ""},
      {"=v", "", "v"},
  };
  for (const Row& row : rows) {
    const Table table = JavaProperties::parse(row.line + "\n");
    EXPECT_EQ(asMap(table), (StringMap{{row.key, row.value}})) << row.line;
  }
}

TEST(JavaPropertiesTest, ReadsLinesInSequence) {
  struct Row {
    std::string text;
    StringMap expected;
  };
  const Row rows[] = {
      {"", {}},
      {"# comment\n   # indented comment\n\n \t \nk=v\n", {{"k", "v"}}},
      {"a=1\r\nb=2\r\n", {{"a", "1"}, {"b", "2"}}},
      {"a=1\nb=2", {{"a", "1"}, {"b", "2"}}},
      {"k=1\nk=2\n", {{"k", "2"}}},
      {"a=b \\\nc\n", {{"a", "b c"}}},
      {"a=b \\\n   c \\\n d\n", {{"a", "b c d"}}},
      {"a=b\\\nc\n", {{"a", "b\\"}, {"c", ""}}},
      {"a=b \\\n# note\n\n  c\nd=e\n", {{"a", "b c"}, {"d", "e"}}},
      {"a=b \\\n = \n c\n", {{"a", "b c"}}},
      {"a=b \\\n", {{"a", "b "}}},  // a file ending in a continued value keeps the entry
      {"-Xopt=a \\\nb\n", {{"-Xopt", "=a b"}}},
      {"k=caf\xe9\n", {{"k", "caf\u00e9"}}},
      {"\xa0k=v\x85\n", {{"k", "v"}}},
      {"\xfc\xe4=\xff\n", {{"\u00fc\u00e4", "\u00ff"}}},
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
      {{{"key with space", "v"}}, "key\\ with\\ space=v\n"},
      {{{"url", "file:/x"}}, "url=file\\:/x\n"},
      {{{"dir", "C:\\users"}}, "dir=C\\:\\\\users\n"},
      {{{"k", "caf\u00e9"}}, "k=caf\\u00e9\n"},
      {{{"k", "a\\r\\nb"}}, "k=a\\r\\nb\n"},
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

  // An option set without its separator gets one, and is stable from then on.
  const std::string set = JavaProperties::serialize({{"-Xmx", "512m"}});
  EXPECT_EQ(set, "-Xmx=512m\n");
  EXPECT_EQ(JavaProperties::parse(set), (Table{{"-Xmx", "=512m"}}));
  EXPECT_EQ(JavaProperties::serialize(JavaProperties::parse(set)), set);
}

TEST(JavaPropertiesTest, WrittenTextReadsBack) {
  const Table table = {
      {"plain", "value"}, {"colon", "a:b"},     {"equals", "a=b==c"},    {"hash", "#not a comment"},
      {"bang", "!bang"},  {"inner", "a  b\tc"}, {"dir", "C:\\users\\x"}, {"escape", "\\u00e9"},
      {"crlf", "\\r\\n"}, {"empty", ""},        {"-Xmx512m", ""},        {"dotted.key/name", "1"},
  };
  Table expected = table;
  expected["inner"] = "a  b\\u0009c";  // the tab comes back as its escape
  EXPECT_EQ(JavaProperties::parse(JavaProperties::serialize(table)), expected);
  // An accented value comes back as the six characters of its escape.
  EXPECT_EQ(JavaProperties::parse(JavaProperties::serialize({{"k", "\u00e9"}})),
            (Table{{"k", "\\u00e9"}}));
}

TEST(JavaPropertiesTest, CorpusFilesAreStableUnderRewriting) {
  for (const char* name : kCorpusFiles) {
    const std::optional<std::string> bytes = testing::readFile(latin1File(name));
    ASSERT_TRUE(bytes) << name;
    const Table read = JavaProperties::parse(*bytes);
    EXPECT_FALSE(read.empty()) << name;
    const std::string written = JavaProperties::serialize(read);
    for (const char c : written) {
      ASSERT_TRUE(c == '\n' || (c >= 0x20 && c <= 0x7E)) << name << ": byte " << int(c);
    }
    // Reading our own output and writing it again changes nothing, so repeated merges of the
    // same hotfix give the same file; escapes decode to what the file held.
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

TEST(JavaPropertiesTest, TableOperations) {
  JavaProperties properties;
  EXPECT_EQ(properties.getPropertyForKey("k"), std::nullopt);
  EXPECT_TRUE(properties.setProperty("v1", "k"));
  EXPECT_TRUE(properties.setProperty("v2", "k"));
  EXPECT_TRUE(properties.setProperty("", "empty"));
  EXPECT_EQ(properties.getPropertyForKey("k"), "v2");
  EXPECT_EQ(properties.getPropertyForKey("empty"), "");
  EXPECT_FALSE(properties.setProperty(std::nullopt, "k"));
  EXPECT_FALSE(properties.setProperty("v", std::nullopt));
  EXPECT_EQ(properties.getPropertyForKey("k"), "v2");
  EXPECT_EQ(properties.allProperties(), (std::vector<std::string>{"empty", "k"}));

  properties.removePropertyForKey("missing");
  for (const std::string& key : properties.propertyNames()) properties.removePropertyForKey(key);
  EXPECT_TRUE(properties.allProperties().empty());
  // Nothing to save to: no path given and none remembered.
  EXPECT_FALSE(properties.savePropertiesToFile());
}

TEST(JavaPropertiesTest, LoadsAndSavesFiles) {
  testing::ScratchDirectory scratch("javaprops");
  const ScopedEnv home("HOME", scratch.path());

  // A missing file gives an empty table; the remembered path is where a save creates it.
  JavaProperties created("~/new.properties");
  EXPECT_EQ(created.file(), scratch / "new.properties");
  EXPECT_TRUE(created.table().empty());
  created.setProperty("1", "a");
  ASSERT_TRUE(created.savePropertiesToFile());
  EXPECT_EQ(testing::readFile(scratch / "new.properties"), "a=1\n");

  ASSERT_TRUE(testing::writeFile(scratch / "in.properties", "# c\nb = 2\na:1\n", 0640));
  JavaProperties loaded(scratch / "in.properties");
  EXPECT_EQ(asMap(loaded.table()), (StringMap{{"a", "1"}, {"b", "2"}}));
  ASSERT_TRUE(loaded.savePropertiesToFile());
  EXPECT_EQ(testing::readFile(scratch / "in.properties"), "a=1\nb=2\n");
  struct stat info {};
  ASSERT_EQ(stat((scratch / "in.properties").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0640u);  // the replaced file's mode is kept

  ASSERT_TRUE(loaded.savePropertiesToFile("~/copy.properties"));
  EXPECT_EQ(testing::readFile(scratch / "copy.properties"), "a=1\nb=2\n");
  EXPECT_EQ(loaded.file(), scratch / "in.properties");

  // Failed writes answer false and leave what was there.
  EXPECT_FALSE(loaded.savePropertiesToFile(scratch / "missing-dir/x.properties"));
  ASSERT_EQ(mkdir((scratch / "a-directory").c_str(), 0755), 0);
  EXPECT_FALSE(loaded.savePropertiesToFile(scratch / "a-directory"));
  EXPECT_TRUE(S_ISDIR((stat((scratch / "a-directory").c_str(), &info), info.st_mode)));

  // No path at all: an empty object with nothing remembered.
  const JavaProperties none(std::nullopt);
  EXPECT_EQ(none.file(), std::nullopt);
}

TEST(JavaPropertiesTest, MergeOverridesKeepsOwnKeysAndRewrites) {
  testing::ScratchDirectory scratch("javaprops");
  const std::string target = scratch / "target.ini";
  ASSERT_TRUE(testing::writeFile(target, "# kept? no\nown=1\nshared = old\n"));
  ASSERT_TRUE(testing::writeFile(scratch / "other.ini", "shared=new\nextra=x:y\n"));

  JavaProperties properties(target);
  properties.mergeWithJavaProperties(scratch / "other.ini");
  EXPECT_EQ(asMap(properties.table()),
            (StringMap{{"extra", "x:y"}, {"own", "1"}, {"shared", "new"}}));
  EXPECT_EQ(testing::readFile(target), "extra=x\\:y\nown=1\nshared=new\n");
}

TEST(JavaPropertiesTest, MergeFromNowhereWritesNothing) {
  testing::ScratchDirectory scratch("javaprops");
  const ScopedEnv home("HOME", scratch.path());
  const std::string target = scratch / "target.ini";
  const std::string original = "# comment\nb = 2\na=1\n";
  ASSERT_TRUE(testing::writeFile(target, original));
  // A file reached only through "~" does not count: the existence test does not expand it.
  ASSERT_TRUE(testing::writeFile(scratch / "other.ini", "a=changed\n"));

  JavaProperties properties(target);
  for (const std::optional<std::string>& path :
       {std::optional<std::string>(), std::optional<std::string>(scratch / "missing.ini"),
        std::optional<std::string>("~/other.ini")}) {
    properties.mergeWithJavaProperties(path);
    EXPECT_EQ(testing::readFile(target), original) << path.value_or("(none)");
    EXPECT_EQ(properties.getPropertyForKey("a"), "1");
  }
}

// What java.util.Properties reads from each file, per file path; none when no JDK can run.
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
  if (!run.started) {
    whyNot = "no java on PATH";
    return std::nullopt;
  }
  if (run.exitStatus != 0) {
    whyNot = "java failed: " + run.err;
    return std::nullopt;
  }
  JavaView view;
  StringMap* current = nullptr;
  size_t start = 0;
  while (start < run.out.size()) {
    size_t end = run.out.find('\n', start);
    if (end == std::string::npos) end = run.out.size();
    const std::string_view line = std::string_view(run.out).substr(start, end - start);
    start = end + 1;
    if (line.starts_with("FILE ")) {
      current = &view[std::string(line.substr(5))];
    } else if (line.starts_with("ERROR ")) {
      whyNot = std::string(line);
      return std::nullopt;
    } else if (current != nullptr) {
      const size_t space = line.find(' ');
      (*current)[fromHex(line.substr(0, space))] = fromHex(line.substr(space + 1));
    }
  }
  return view;
}

#define LOAD_WITH_JAVA(view, ...)                                         \
  std::string whyNot;                                                     \
  const std::optional<JavaView> view = loadWithJava(__VA_ARGS__, whyNot); \
  if (!view && whyNot == "no java on PATH") GTEST_SKIP() << whyNot;       \
  ASSERT_TRUE(view) << whyNot

TEST(JavaPropertiesJavaTest, JavaReadsEveryWrittenKeyAndValue) {
  testing::ScratchDirectory scratch("javaprops");
  const StringMap table = {
      {"plain.key", "plain value"},
      {"key with spaces", "value  with  spaces "},
      {"tab\tkey", "tab\tvalue"},
      {"colon:key", "a:b:c"},
      {"equals=key", "a=b"},
      {"#hash", "#hash"},
      {"!bang", "!bang"},
      {" leading", "trailing "},
      {"back\\slash", "C:\\users\\x\\"},
      {"unc", "\\\\server\\share"},
      {"latin\u00e9\u00fc\u00df\u00ff", "caf\u00e9 \u00fcber \u00df \u00a0\u00ff"},
      {"cjk\u4e2d\u6587", "\u4e2d\u6587 \u03a9 \u20ac"},
      {"astral\U0001F600", "\U0001F600 \U0001D11E"},
      {"newline", "a\nb\rc"},
      {"empty", ""},
  };
  JavaProperties properties;
  for (const auto& [key, value] : table) properties.setProperty(value, key);
  const std::string file = scratch / "written.properties";
  ASSERT_TRUE(properties.savePropertiesToFile(file));

  LOAD_WITH_JAVA(java, {file});
  EXPECT_EQ(java->at(file), table);
}

TEST(JavaPropertiesJavaTest, BackslashesReadTheSameHereAndInJava) {
  testing::ScratchDirectory scratch("javaprops");
  const std::string file = scratch / "backslash.properties";
  JavaProperties properties;
  properties.setProperty("C:\\users", "dir");
  properties.setProperty("\\u00e9", "accent");
  properties.setProperty("a\\r\\nb\\t\\f", "escapes");
  properties.setProperty("\\a\\", "plain");
  ASSERT_TRUE(properties.savePropertiesToFile(file));

  EXPECT_EQ(asMap(JavaProperties(file).table()), asMap(properties.table()));
  LOAD_WITH_JAVA(java, {file});
  EXPECT_EQ(java->at(file), (StringMap{{"accent", "\u00e9"},
                                       {"dir", "C:\\users"},
                                       {"escapes", "a\r\nb\t\f"},
                                       {"plain", "\\a\\"}}));
}

TEST(JavaPropertiesJavaTest, VirtualMachineOptionsReadInJavaAsTheOriginals) {
  testing::ScratchDirectory scratch("javaprops");
  const std::string original = scratch / "original.properties";
  const std::string rewritten = scratch / "rewritten.properties";
  ASSERT_TRUE(testing::writeFile(original, "-Xmx256m\n-Xbootclasspath/a:x.jar\n-Xss = 4m\n"));
  JavaProperties properties(original);
  ASSERT_TRUE(properties.savePropertiesToFile(rewritten));
  ASSERT_TRUE(JavaProperties(rewritten).savePropertiesToFile());

  LOAD_WITH_JAVA(java, {original, rewritten});
  EXPECT_EQ(java->at(rewritten), java->at(original));
}

// Where our reader departs from Java's on purpose, a merged file cannot carry Java's value.
struct KnownDifference {
  const char* file;
  const char* key;
  const char* why;
};
const KnownDifference kKnownDifferences[] = {
    {"eclipse-as-editor.ini",
     "org.eclipse.wst.xml.ui/"
     "org.eclipse.wst.xml.ui.internal.tabletree.XMLMultiPageEditorPart.lastActivePage",
     "trailing blanks are trimmed"},
    {"eveCSS.ini", "org.csstudio.platform/log4j.appender.css_jms.layout.ConversionPattern",
     "trailing blanks are trimmed"},
};

std::string trimmedRight(std::string text) {
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.pop_back();
  return text;
}

TEST(JavaPropertiesJavaTest, MergedCorpusFilesReadInJavaAsTheOriginals) {
  testing::ScratchDirectory scratch("javaprops");
  std::vector<std::string> files;
  for (const char* name : kCorpusFiles) {
    const std::string target = scratch / (std::string(name) + ".merged");
    ASSERT_TRUE(testing::writeFile(target, "own.key = kept\n"));
    JavaProperties(target).mergeWithJavaProperties(latin1File(name));
    files.push_back(latin1File(name));
    files.push_back(target);
  }

  LOAD_WITH_JAVA(java, files);
  for (const char* name : kCorpusFiles) {
    const StringMap& original = java->at(latin1File(name));
    const StringMap& merged = java->at(scratch / (std::string(name) + ".merged"));
    ASSERT_FALSE(original.empty()) << name;
    EXPECT_EQ(merged.size(), original.size() + 1) << name;
    EXPECT_EQ(merged.count("own.key") ? merged.at("own.key") : "(missing)", "kept") << name;
    for (const auto& [key, value] : original) {
      ASSERT_TRUE(merged.count(key)) << name << ": " << key;
      const KnownDifference* known = nullptr;
      for (const KnownDifference& difference : kKnownDifferences) {
        if (name == std::string_view(difference.file) && key == difference.key) known = &difference;
      }
      if (known) {
        EXPECT_NE(trimmedRight(value), value) << name << ": " << key << " no longer differs";
        EXPECT_EQ(merged.at(key), trimmedRight(value)) << name << ": " << key << ", " << known->why;
      } else {
        EXPECT_EQ(merged.at(key), value) << name << ": " << key;
      }
    }
  }
  // The key-binding value of the editor customization holds carriage return and line feed.
  const StringMap& editor = java->at(scratch / "eclipse-as-editor.ini.merged");
  EXPECT_NE(editor.at("org.eclipse.ui.workbench/org.eclipse.ui.commands").find("?>\r\n<"),
            std::string::npos);
}

}  // namespace
}  // namespace rcpinstall
