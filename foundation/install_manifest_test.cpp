#include "foundation/install_manifest.h"

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <pugixml.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "os/system_log.h"
#include "tests/support/testing.h"

namespace rcpinstall {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
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

// A manifest with the fixed levels around the given install features.
std::string manifest(const std::string& installFeatures, const std::string& root = "manifest") {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<" + root +
         "><domain-object name=\"rcp\"><object-data><install>" + installFeatures +
         "</install></object-data></domain-object></" + root + ">\n";
}

std::string feature(const std::string& attributes) {
  return "<feature " + attributes + "/>";
}
std::string installFeature(const std::string& attributes, const std::string& features) {
  return "<installfeature " + attributes + "><requirements>" + features +
         "</requirements></installfeature>";
}

class InstallManifestTest : public ::testing::Test {
 protected:
  std::string write(const std::string& xml, const std::string& name = "install.xml") {
    std::string path = dir_ / name;
    EXPECT_TRUE(testing::writeFile(path, xml));
    return path;
  }
  ScratchDirectory dir_;
};

TEST_F(InstallManifestTest, VersionLookup) {
  struct Row {
    const char* name;
    std::string xml;
    std::optional<std::string> installFeatureID, featureID;
    std::optional<std::string> expected;
  };
  const std::string base =
      installFeature("id=\"com.zantec.base\" version=\"8.5.0\"",
                     feature("id=\"com.zantec.core\" version=\"8.5.0.1\"") +
                         feature("id=\"com.zantec.mail\" version=\"8.5.0.2\" action=\"install\""));
  const std::vector<Row> rows = {
      {"install feature", manifest(base), "com.zantec.base", std::nullopt, "8.5.0"},
      {"feature", manifest(base), std::nullopt, "com.zantec.core", "8.5.0.1"},
      {"feature with action install", manifest(base), std::nullopt, "com.zantec.mail", "8.5.0.2"},
      {"root of any name", manifest(base, "anything"), std::nullopt, "com.zantec.core", "8.5.0.1"},
      {"first of two install features with one id wins",
       manifest(installFeature("id=\"dup\" version=\"1.0\"", "") +
                installFeature("id=\"dup\" version=\"2.0\"", "")),
       "dup", std::nullopt, "1.0"},
      {"install feature id is ignored when a feature id is given",
       manifest(base + installFeature("id=\"other\" version=\"1\"",
                                      feature("id=\"wanted\" version=\"3.1\""))),
       "com.zantec.base", "wanted", "3.1"},
      {"uninstalled feature is passed over",
       manifest(installFeature("id=\"a\"", feature("id=\"f\" version=\"1\" action=\"uninstall\"") +
                                               feature("id=\"f\" version=\"2\""))),
       std::nullopt, "f", "2"},
      {"action compared exactly",
       manifest(installFeature("id=\"a\"", feature("id=\"f\" version=\"1\" action=\"Install\""))),
       std::nullopt, "f", "-1"},
      {"search goes on in later install features",
       manifest(installFeature("id=\"a\"", feature("id=\"f\" version=\"1\" action=\"uninstall\"")) +
                installFeature("id=\"b\"", feature("id=\"f\" version=\"2\""))),
       std::nullopt, "f", "2"},
      {"install feature without requirements",
       manifest("<installfeature id=\"a\" version=\"1\"><feature id=\"f\" version=\"0\"/>"
                "</installfeature>" +
                installFeature("id=\"b\"", feature("id=\"f\" version=\"4\""))),
       std::nullopt, "f", "4"},
      {"only the first requirements element",
       manifest("<installfeature id=\"a\"><requirements/><requirements>" +
                feature("id=\"f\" version=\"1\"") + "</requirements></installfeature>"),
       std::nullopt, "f", "-1"},
      {"ids compared exactly", manifest(base), std::nullopt, "COM.ZANTEC.CORE", "-1"},
      {"unknown id", manifest(base), "com.zantec.none", std::nullopt, "-1"},
      {"neither id", manifest(base), std::nullopt, std::nullopt, "-1"},
      {"only the first domain-object",
       "<m><domain-object><object-data><install>" +
           installFeature("id=\"a\"", feature("id=\"x\" version=\"1\"")) +
           "</install></object-data></domain-object><domain-object><object-data><install>" +
           installFeature("id=\"b\"", feature("id=\"f\" version=\"2\"")) +
           "</install></object-data></domain-object></m>",
       std::nullopt, "f", "-1"},
      {"levels are direct children",
       "<m><wrapper><domain-object><object-data><install>" + base +
           "</install></object-data></domain-object></wrapper><domain-object><object-data>"
           "<install><installfeature id=\"near\" version=\"5\"/></install></object-data>"
           "</domain-object></m>",
       "com.zantec.base", std::nullopt, "-1"},
      {"matching feature without version",
       manifest(
           installFeature("id=\"a\"", feature("id=\"f\"") + feature("id=\"f\" version=\"2\""))),
       std::nullopt, "f", std::nullopt},
      {"matching install feature without version",
       manifest(installFeature("id=\"a\"", "") + installFeature("id=\"a\" version=\"2\"", "")), "a",
       std::nullopt, std::nullopt},
      {"entities decoded before comparing",
       manifest(installFeature("id=\"a&amp;b\" version=\"1&lt;2\"", "")), "a&b", std::nullopt,
       "1<2"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    InstallManifest manifestFile(write(row.xml));
    ASSERT_TRUE(manifestFile.hasDocument());
    LogCapture log;
    EXPECT_EQ(manifestFile.checkInstalledFeature(row.installFeatureID, row.featureID),
              row.expected);
    EXPECT_THAT(log.lines(), IsEmpty());
  }
}

// Each missing level ends the walk with its own line; lookups answer "-1", edits no.
TEST_F(InstallManifestTest, MissingLevels) {
  struct Row {
    std::string xml;
    const char* line;
  };
  const std::vector<Row> rows = {
      {"<m><Domain-Object/></m>", "<Error>: Not able to get domain-object element"},
      {"<m><domain-object><install/></domain-object></m>",
       "<Error>: Not able to get object-data element"},
      {"<m><domain-object><object-data><installfeature id=\"a\" version=\"1\"/></object-data>"
       "</domain-object></m>",
       "<Error>: Not able to get install element"},
      {"<m><domain-object><object-data><install><InstallFeature id=\"a\" version=\"1\"/>"
       "</install></object-data></domain-object></m>",
       "<Error>: Not able to get install-feature element"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.line);
    const std::string path = write(row.xml);
    InstallManifest manifestFile(path);
    LogCapture log;
    EXPECT_EQ(manifestFile.checkInstalledFeature("a", std::nullopt), "-1");
    EXPECT_EQ(manifestFile.checkInstalledFeature(std::nullopt, std::nullopt), "-1");
    EXPECT_FALSE(manifestFile.replaceInstallerRootWith("file:/x"));
    EXPECT_THAT(log.lines(), ElementsAre(row.line, row.line, row.line));
    EXPECT_TRUE(manifestFile.saveInstallManifestAs());  // the document itself is fine
  }
}

TEST_F(InstallManifestTest, UnreadableManifestHasNoDocument) {
  struct Row {
    const char* name;
    std::optional<std::string> xml;
  };
  const std::vector<Row> rows = {
      {"missing", std::nullopt},
      {"empty", std::string()},
      {"not well-formed", manifest(installFeature("id=\"a\" version=\"1\"", "")).substr(0, 90)},
      {"only a comment", std::string("<!-- nothing -->")},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const std::string path = dir_ / "install.xml";
    if (row.xml) write(*row.xml);
    LogCapture log;
    InstallManifest manifestFile(path);
    EXPECT_FALSE(manifestFile.hasDocument());
    EXPECT_EQ(manifestFile.checkInstalledFeature("a", std::nullopt), "-1");
    EXPECT_FALSE(manifestFile.replaceInstallerRootWith("file:/x"));
    EXPECT_FALSE(manifestFile.saveInstallManifestAs(dir_ / "copy.xml"));
    EXPECT_FALSE(manifestFile.saveInstallManifestAs());
    EXPECT_THAT(log.lines(), IsEmpty());
    EXPECT_EQ(testing::readFile(path), row.xml);  // left as it was
    EXPECT_FALSE(testing::readFile(dir_ / "copy.xml"));
  }
}

std::vector<std::string> featureUrls(const std::string& path) {
  pugi::xml_document doc;
  EXPECT_TRUE(doc.load_file(path.c_str()));
  std::vector<std::string> urls;
  for (pugi::xpath_node node : doc.select_nodes("//feature"))
    urls.push_back(node.node().attribute("url") ? node.node().attribute("url").value() : "(none)");
  return urls;
}

TEST_F(InstallManifestTest, ReplaceInstallerRootAndSaveBack) {
  const std::string path = write(manifest(
      installFeature("id=\"a\"",
                     feature("id=\"f1\" url=\"${installer.root}/features/x.jar\"") +
                         feature("id=\"f2\" url=\"${installer.root}/a|${installer.root}/b\"") +
                         feature("id=\"f3\" url=\"http://update.example/site/f3.jar\"") +
                         feature("id=\"f4\"")) +
      "<installfeature id=\"b\"><feature id=\"outside\" url=\"${installer.root}/o.jar\"/>"
      "</installfeature>" +
      "<installfeature id=\"c\"><requirements/><requirements>" +
      feature("id=\"second\" url=\"${installer.root}/s.jar\"") +
      "</requirements></installfeature>"));
  const std::string before = *testing::readFile(path);

  InstallManifest manifestFile(path);
  EXPECT_TRUE(manifestFile.replaceInstallerRootWith("file:/Volumes/Disk/Hotfix.mpkg"));
  EXPECT_EQ(testing::readFile(path), before);  // only the tree changed so far
  ASSERT_TRUE(manifestFile.saveInstallManifestAs());
  EXPECT_THAT(featureUrls(path),
              ElementsAre("file:/Volumes/Disk/Hotfix.mpkg/features/x.jar",
                          "file:/Volumes/Disk/Hotfix.mpkg/a|file:/Volumes/Disk/Hotfix.mpkg/b",
                          "http://update.example/site/f3.jar", "(none)", "${installer.root}/o.jar",
                          "${installer.root}/s.jar"));
  // Saved with indentation: one element per line.
  EXPECT_THAT(*testing::readFile(path), ::testing::HasSubstr("\n  <domain-object"));
  EXPECT_EQ(InstallManifest(path).checkInstalledFeature(std::nullopt, "f4"), std::nullopt);
}

// Compares two trees node by node: kind, name, value, attributes in order, children.
void expectSameTree(const pugi::xml_node& a, const pugi::xml_node& b, const std::string& where) {
  SCOPED_TRACE(where);
  ASSERT_EQ(a.type(), b.type());
  EXPECT_STREQ(a.name(), b.name());
  EXPECT_STREQ(a.value(), b.value());
  auto attributeA = a.attributes_begin(), attributeB = b.attributes_begin();
  for (; attributeA != a.attributes_end() && attributeB != b.attributes_end();
       ++attributeA, ++attributeB) {
    EXPECT_STREQ(attributeA->name(), attributeB->name());
    EXPECT_STREQ(attributeA->value(), attributeB->value());
  }
  EXPECT_TRUE(attributeA == a.attributes_end() && attributeB == b.attributes_end())
      << "attribute count differs";
  pugi::xml_node childA = a.first_child(), childB = b.first_child();
  int index = 0;
  for (; childA && childB; childA = childA.next_sibling(), childB = childB.next_sibling())
    expectSameTree(childA, childB,
                   where + "/" + childA.name() + "[" + std::to_string(index++) + "]");
  EXPECT_TRUE(!childA && !childB) << "child count differs";
}

pugi::xml_document parseFull(const std::string& text) {
  pugi::xml_document doc;
  EXPECT_TRUE(doc.load_buffer(text.data(), text.size(), pugi::parse_full));
  return doc;
}

// What the class does not touch comes back from a load and save as it was parsed.
TEST_F(InstallManifestTest, UntouchedContentSurvivesASave) {
  const std::string original =
      "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n"
      "<!DOCTYPE manifest [ <!ELEMENT manifest ANY> ]>\n"
      "<!-- provisioning manifest, do not edit -->\n"
      "<?provisioning-tool version=\"3\"?>\n"
      "<manifest xmlns:p=\"http://example.com/p\" p:schema=\"2\">\n"
      "  <header created=\"2024-01-02\">Orrery \xC3\xBC base &amp; hotfix</header>\n"
      "  <domain-object name=\"rcp\" class=\"com.zantec.Deploy\">\n"
      "    <!-- features -->\n"
      "    <object-data>\n"
      "      <install mode=\"update\" note=\"a &quot;quoted&quot; &lt;value&gt; &#10;two lines\">\n"
      "        <installfeature id=\"com.zantec.base\" version=\"8.5\" extra=\"kept\">\n"
      "          <description>Line one\n  line two <b>bold</b> tail</description>\n"
      "          <requirements match=\"all\">\n"
      "            <feature id=\"core\" version=\"8.5.1\" url=\"${installer.root}/core.jar\" "
      "size=\"12\"/>\n"
      "            <p:feature id=\"namespaced\" url=\"${installer.root}/n.jar\"/>\n"
      "            <script><![CDATA[if (a < b && c) run();]]></script>\n"
      "          </requirements>\n"
      "        </installfeature>\n"
      "      </install>\n"
      "    </object-data>\n"
      "  </domain-object>\n"
      "  <trailer/>\n"
      "</manifest>\n"
      "<!-- end -->\n";
  InstallManifest manifestFile(write(original));
  ASSERT_TRUE(manifestFile.replaceInstallerRootWith("file:/Volumes/Disk/Hotfix.mpkg"));
  ASSERT_TRUE(manifestFile.saveInstallManifestAs(dir_ / "saved.xml"));

  std::string expected = original;
  expected.replace(expected.find("${installer.root}/core.jar"), 17,
                   "file:/Volumes/Disk/Hotfix.mpkg");
  pugi::xml_document before = parseFull(expected);
  pugi::xml_document after = parseFull(*testing::readFile(dir_ / "saved.xml"));
  expectSameTree(before, after, "");
  EXPECT_THAT(
      *testing::readFile(dir_ / "saved.xml"),
      ::testing::StartsWith("<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>"));
}

// A manifest is written back in the encoding it was read in, with its byte-order mark.
TEST_F(InstallManifestTest, EncodingSurvivesASave) {
  const std::string body =
      "<m><domain-object><object-data><install><installfeature id=\"caf\xC3\xA9\" "
      "version=\"1\"/></install></object-data></domain-object></m>";
  auto utf16le = [](const std::string& ascii) {
    std::string out = "\xFF\xFE";
    for (char c : ascii) out += std::string{c, '\0'};
    return out;
  };
  struct Row {
    const char* name;
    std::string bytes;
    std::string prefix;  // how the saved file must begin
  };
  const std::vector<Row> rows = {
      {"UTF-8", "<?xml version=\"1.0\"?>" + body, "<?xml"},
      {"UTF-8 with mark", "\xEF\xBB\xBF<?xml version=\"1.0\"?>" + body, "\xEF\xBB\xBF<?xml"},
      {"ISO-8859-1",
       "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><m><domain-object><object-data><install>"
       "<installfeature id=\"caf\xE9\" version=\"1\"/></install></object-data></domain-object></m>",
       "<?xml"},
      {"UTF-16LE",
       utf16le("<?xml version=\"1.0\" encoding=\"UTF-16\"?><m><domain-object><object-data>"
               "<install><installfeature id=\"caf") +
           std::string("\xE9\0", 2) +
           utf16le("\" version=\"1\"/></install></object-data></domain-object></m>").substr(2),
       utf16le("<?xml")},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    InstallManifest manifestFile(write(row.bytes));
    ASSERT_TRUE(manifestFile.hasDocument());
    EXPECT_EQ(manifestFile.checkInstalledFeature("caf\xC3\xA9", std::nullopt), "1");
    ASSERT_TRUE(manifestFile.saveInstallManifestAs(dir_ / "saved.xml"));
    std::string saved = *testing::readFile(dir_ / "saved.xml");
    EXPECT_EQ(saved.substr(0, row.prefix.size()), row.prefix);
    EXPECT_EQ(
        InstallManifest(dir_ / "saved.xml").checkInstalledFeature("caf\xC3\xA9", std::nullopt),
        "1");
  }
}

TEST_F(InstallManifestTest, FailedSaveKeepsTheTarget) {
  const std::string path = write(manifest(installFeature("id=\"a\" version=\"1\"", "")));
  InstallManifest manifestFile(path);
  EXPECT_FALSE(manifestFile.saveInstallManifestAs(dir_ / "no-such-dir/install.xml"));
  ASSERT_EQ(::mkdir((dir_ / "a-directory").c_str(), 0755), 0);
  EXPECT_FALSE(manifestFile.saveInstallManifestAs(dir_ / "a-directory"));
  if (::geteuid() != 0) {  // root writes into read-only directories
    const std::string before = *testing::readFile(path);
    ASSERT_EQ(::chmod(dir_.path().c_str(), 0555), 0);
    EXPECT_FALSE(manifestFile.saveInstallManifestAs());
    ::chmod(dir_.path().c_str(), 0755);
    EXPECT_EQ(testing::readFile(path), before);
  }
}

}  // namespace
}  // namespace rcpinstall
