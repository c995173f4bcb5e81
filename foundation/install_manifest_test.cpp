#include "foundation/install_manifest.h"

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <pugixml.hpp>
#include <sstream>

#include "os/system_log.h"
#include "tests/support/testing.h"

namespace rcpinstall {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using testing::ScratchDirectory;

// The lines the system log writes while `run` runs, as "<Level>: message".
std::vector<std::string> logLinesOf(const std::function<void()>& run) {
  ScratchDirectory dir;
  int fd = ::open((dir / "log").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
  os::SystemLog::addLogFile(fd);
  run();
  os::SystemLog::removeLogFile(fd);
  ::close(fd);
  std::vector<std::string> lines;
  std::istringstream in(testing::readFile(dir / "log").value_or(""));
  for (std::string line; std::getline(in, line);)
    lines.push_back(line.substr(line.find("] <") + 2));
  return lines;
}

// The fixed levels around the given install features.
std::string levels(const std::string& inside, const std::string& root = "manifest") {
  return "<" + root + "><domain-object><object-data><install>" + inside +
         "</install></object-data></domain-object></" + root + ">";
}
std::string installFeature(const std::string& attributes, const std::string& features) {
  return "<installfeature " + attributes + "><requirements>" + features +
         "</requirements></installfeature>";
}
std::string feature(const std::string& attributes) {
  return "<feature " + attributes + "/>";
}

class InstallManifestTest : public ::testing::Test {
 protected:
  std::string write(const std::string& xml, const std::string& name = "install.xml") {
    testing::writeFile(dir_ / name, xml);
    return dir_ / name;
  }
  ScratchDirectory dir_;
};

TEST_F(InstallManifestTest, VersionLookup) {
  struct Row {
    const char* name;
    std::string xml;
    std::optional<std::string> installFeatureID, featureID, expected;
    const char* line = nullptr;  // the walk's log line, when it ends early
  };
  const std::string base =
      installFeature("id=\"base\" version=\"8.5\"",
                     feature("id=\"core\" version=\"8.5.1\"") +
                         feature("id=\"mail\" version=\"8.5.2\" action=\"install\""));
  const std::string nested = "<domain-object><object-data><install>" +
                             installFeature("id=\"x\"", feature("id=\"f\" version=\"2\"")) +
                             "</install></object-data></domain-object>";
  for (const Row& row : std::vector<Row>{
           {"install feature", levels(base), "base", std::nullopt, "8.5"},
           {"feature, any root name", levels(base, "anything"), std::nullopt, "core", "8.5.1"},
           {"action install", levels(base), std::nullopt, "mail", "8.5.2"},
           {"first install feature wins",
            levels(installFeature("id=\"d\" version=\"1.0\"", "") +
                   installFeature("id=\"d\" version=\"2.0\"", "")),
            "d", std::nullopt, "1.0"},
           {"install feature id ignored with a feature id",
            levels(base + installFeature("id=\"o\"", feature("id=\"f\" version=\"3\""))), "base",
            "f", "3"},
           {"uninstalled passed over",
            levels(
                installFeature("id=\"a\"", feature("id=\"f\" version=\"1\" action=\"uninstall\"") +
                                               feature("id=\"f\" version=\"2\""))),
            std::nullopt, "f", "2"},
           {"action compared exactly",
            levels(
                installFeature("id=\"a\"", feature("id=\"f\" version=\"1\" action=\"Install\""))),
            std::nullopt, "f", "-1"},
           {"later install feature",
            levels(installFeature("id=\"a\"", feature("id=\"f\" version=\"1\" action=\"x\"")) +
                   "<installfeature id=\"b\"><feature id=\"f\" version=\"0\"/></installfeature>" +
                   installFeature("id=\"c\"", feature("id=\"f\" version=\"2\""))),
            std::nullopt, "f", "2"},
           {"first requirements only",
            levels("<installfeature><requirements/><requirements>" +
                   feature("id=\"f\" version=\"1\"") + "</requirements></installfeature>"),
            std::nullopt, "f", "-1"},
           {"first domain-object only",
            "<m>" + nested.substr(0, 15) + "</domain-object>" + nested + "</m>", std::nullopt, "f",
            "-1", "<Error>: Not able to get object-data element"},
           {"direct children only", "<m><w>" + nested + "</w></m>", std::nullopt, "f", "-1",
            "<Error>: Not able to get domain-object element"},
           {"ids compared exactly", levels(base), std::nullopt, "CORE", "-1"},
           {"neither id", levels(base), std::nullopt, std::nullopt, "-1"},
           {"feature without version",
            levels(installFeature("id=\"a\"",
                                  feature("id=\"f\"") + feature("id=\"f\" version=\"2\""))),
            std::nullopt, "f", std::nullopt},
           {"install feature without version", levels(installFeature("id=\"a\"", "")), "a",
            std::nullopt, std::nullopt},
       }) {
    SCOPED_TRACE(row.name);
    InstallManifest manifest(write(row.xml));
    ASSERT_TRUE(manifest.hasDocument());
    std::vector<std::string> log = logLinesOf([&] {
      EXPECT_EQ(manifest.checkInstalledFeature(row.installFeatureID, row.featureID), row.expected);
    });
    if (row.line) {
      EXPECT_THAT(log, ElementsAre(row.line));
    } else {
      EXPECT_THAT(log, IsEmpty());
    }
  }
}

TEST_F(InstallManifestTest, MissingLevelsAndUnreadableFiles) {
  const std::vector<std::pair<std::string, std::string>> missing = {
      {"<m><Domain-Object/></m>", "domain-object"},
      {"<m><domain-object><install/></domain-object></m>", "object-data"},
      {"<m><domain-object><object-data><installfeature/></object-data></domain-object></m>",
       "install"},
      {levels("<InstallFeature id=\"a\" version=\"1\"/>"), "install-feature"},
  };
  for (const auto& [xml, level] : missing) {
    InstallManifest manifest(write(xml));
    const std::string line = "<Error>: Not able to get " + level + " element";
    EXPECT_THAT(logLinesOf([&] {
                  EXPECT_EQ(manifest.checkInstalledFeature("a", std::nullopt), "-1");
                  EXPECT_EQ(manifest.checkInstalledFeature(std::nullopt, std::nullopt), "-1");
                  EXPECT_FALSE(manifest.replaceInstallerRootWith("file:/x"));
                }),
                ElementsAre(line, line, line));
  }
  // Without a document nothing is answered, logged or written.
  for (std::optional<std::string> xml :
       {std::optional<std::string>(), std::optional<std::string>(""),
        std::optional<std::string>(levels("").substr(0, 30)),
        std::optional<std::string>("<!-- only -->"), std::optional<std::string>("<a/><b/>"),
        // Not well-formed: text outside the root, a repeated attribute, an undefined entity.
        std::optional<std::string>("stray " + levels("")),
        std::optional<std::string>(levels("") + "x"),
        std::optional<std::string>(levels(feature("id=\"a\" id=\"b\""))),
        std::optional<std::string>(levels(feature("id=\"&nbsp;\""))),
        std::optional<std::string>(levels("&undefined;"))}) {
    std::remove((dir_ / "install.xml").c_str());
    if (xml) write(*xml);
    EXPECT_THAT(logLinesOf([&] {
                  InstallManifest manifest(dir_ / "install.xml");
                  EXPECT_FALSE(manifest.hasDocument()) << xml.value_or("(none)");
                  EXPECT_EQ(manifest.checkInstalledFeature("a", "b"), "-1");
                  EXPECT_FALSE(manifest.replaceInstallerRootWith("file:/x"));
                  EXPECT_FALSE(manifest.saveInstallManifestAs());
                  EXPECT_FALSE(manifest.saveInstallManifestAs(dir_ / "copy.xml"));
                }),
                IsEmpty());
    EXPECT_EQ(testing::readFile(dir_ / "install.xml"), xml);
    EXPECT_FALSE(testing::readFile(dir_ / "copy.xml"));
  }
}

TEST_F(InstallManifestTest, ReplaceInstallerRootThenSave) {
  const std::string path = write(levels(
      installFeature("id=\"a\"",
                     feature("id=\"1\" url=\"${installer.root}/features/x.jar\"") +
                         feature("id=\"2\" url=\"${installer.root}/a ${installer.root}/b\"") +
                         feature("id=\"3\" url=\"http://site/f.jar\"") + feature("id=\"4\"")) +
      "<installfeature><feature id=\"5\" url=\"${installer.root}/o.jar\"/></installfeature>"));
  const std::string before = *testing::readFile(path);
  InstallManifest manifest(path);
  EXPECT_TRUE(manifest.replaceInstallerRootWith("file:/Volumes/Disk/Hotfix.mpkg"));
  EXPECT_EQ(testing::readFile(path), before);  // only the tree has changed
  EXPECT_FALSE(manifest.saveInstallManifestAs(dir_ / "no-dir/install.xml"));
  EXPECT_FALSE(manifest.saveInstallManifestAs(dir_.path()));
  if (::geteuid() != 0) {  // root writes into read-only directories
    ::chmod(dir_.path().c_str(), 0555);
    EXPECT_FALSE(manifest.saveInstallManifestAs());
    ::chmod(dir_.path().c_str(), 0755);
    EXPECT_EQ(testing::readFile(path), before);
  }
  ASSERT_TRUE(manifest.saveInstallManifestAs());

  pugi::xml_document saved;
  ASSERT_TRUE(saved.load_file(path.c_str()));
  std::vector<std::string> urls;
  for (pugi::xpath_node node : saved.select_nodes("//feature"))
    urls.push_back(node.node().attribute("url").as_string("(none)"));
  EXPECT_THAT(urls, ElementsAre("file:/Volumes/Disk/Hotfix.mpkg/features/x.jar",
                                "file:/Volumes/Disk/Hotfix.mpkg/a file:/Volumes/Disk/Hotfix.mpkg/b",
                                "http://site/f.jar", "(none)", "${installer.root}/o.jar"));
  EXPECT_THAT(*testing::readFile(path), ::testing::HasSubstr("\n  <domain-object>\n"));
}

// Two trees are the same node by node: kind, name, value, attributes in order, children.
void expectSameTree(const pugi::xml_node& a, const pugi::xml_node& b, const std::string& where) {
  ASSERT_EQ(a.type(), b.type()) << where;
  EXPECT_STREQ(a.name(), b.name()) << where;
  EXPECT_STREQ(a.value(), b.value()) << where;
  std::vector<std::pair<std::string, std::string>> attributesA, attributesB;
  for (pugi::xml_attribute x : a.attributes()) attributesA.emplace_back(x.name(), x.value());
  for (pugi::xml_attribute x : b.attributes()) attributesB.emplace_back(x.name(), x.value());
  EXPECT_EQ(attributesA, attributesB) << where;
  pugi::xml_node childA = a.first_child(), childB = b.first_child();
  for (; childA && childB; childA = childA.next_sibling(), childB = childB.next_sibling())
    expectSameTree(childA, childB, where + "/" + childA.name());
  EXPECT_TRUE(!childA && !childB) << where << ": child count differs";
}

// An ampersand that begins no reference is text inside a CDATA section or comment, however
// many a large manifest holds there: they are placed in one pass over it (a search back from
// each took minutes), and one outside such markup still leaves no document.
TEST_F(InstallManifestTest, ManyAmpersandsInTextMarkup) {
  std::string body;
  for (int i = 0; i < 50000; ++i)
    body += feature("id=\"f" + std::to_string(i) + "\" version=\"1\"");
  std::string urls;
  for (int i = 0; i < 20000; ++i) urls += "?a=" + std::to_string(i) + "&b=c\n";
  body = installFeature("id=\"a\"", body + "<n><![CDATA[" + urls + "]]></n><!-- " + urls + "-->");
  InstallManifest manifest(write(levels(body)));
  EXPECT_EQ(manifest.checkInstalledFeature(std::nullopt, "f49999"), "1");
  EXPECT_FALSE(InstallManifest(write(levels(body + "&b=c"))).hasDocument());
}

// What the class does not touch comes back from a load and save as it was, in the encoding
// and with the byte-order mark it had.
TEST_F(InstallManifestTest, UntouchedContentSurvivesASave) {
  const std::string body =
      "<!DOCTYPE manifest [ <!ELEMENT manifest ANY> ]>\n<!-- do not edit &here; -->\n<?tool "
      "v=\"3\"?>\n"
      "<manifest xmlns:p=\"urn:p\" p:schema=\"2\">\n <header>Orrery \xC3\xBC &amp; more</header>\n"
      " <domain-object name=\"rcp\"><!-- features --><object-data>\n"
      "  <install note=\"&quot;q&quot; &lt;v&gt; &#10;two\">\n"
      "   <installfeature id=\"caf\xC3\xA9\" version=\"8.5\" extra=\"kept\">\n"
      "    <description>Line one\n  two <b>bold</b> tail</description>\n"
      "    <requirements match=\"all\">\n"
      "     <feature id=\"core\" version=\"8.5.1\" url=\"${installer.root}/core.jar\" "
      "size=\"12\"/>\n"
      "     <p:feature id=\"ns\" url=\"${installer.root}/n.jar\"/>\n"
      "     <script><![CDATA[if (a < b && c) run();]]></script>\n"
      "    </requirements>\n   </installfeature>\n  </install>\n </object-data></domain-object>\n"
      " <trailer/>\n</manifest>\n<!-- end -->\n";
  auto utf16le = [](const std::string& utf8) {
    std::u16string wide;
    for (size_t i = 0; i < utf8.size(); ++i) {  // two-byte sequences are enough here
      unsigned char c = utf8[i];
      wide += c < 0x80 ? char16_t(c) : char16_t(((c & 0x1F) << 6) | (utf8[++i] & 0x3F));
    }
    std::string bytes = "\xFF\xFE";
    for (char16_t u : wide) bytes += std::string{char(u & 0xFF), char(u >> 8)};
    return bytes;
  };
  const std::string declaration = "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n";
  const std::vector<std::pair<std::string, std::string>> rows = {
      {declaration + body, "<?xml"},
      {"\xEF\xBB\xBF" + body, "\xEF\xBB\xBF<!DOCTYPE"},
      {utf16le("<?xml version=\"1.0\" encoding=\"UTF-16\"?>" + body), utf16le("<?xml")},
  };
  std::string expected = declaration + body;
  expected.replace(expected.find("${installer.root}/core.jar"), 17, "file:/V/H.mpkg");
  pugi::xml_document want;
  ASSERT_TRUE(want.load_string(expected.c_str(), pugi::parse_full));
  for (const auto& [bytes, prefix] : rows) {
    SCOPED_TRACE(prefix);
    InstallManifest manifest(write(bytes));
    ASSERT_TRUE(manifest.replaceInstallerRootWith("file:/V/H.mpkg"));
    ASSERT_TRUE(manifest.saveInstallManifestAs(dir_ / "saved.xml"));
    const std::string saved = *testing::readFile(dir_ / "saved.xml");
    EXPECT_EQ(saved.substr(0, prefix.size()), prefix);
    pugi::xml_document got;
    ASSERT_TRUE(got.load_buffer(saved.data(), saved.size(), pugi::parse_full));
    // The declaration is where the forms differ; everything from the root element on is equal.
    expectSameTree(want.document_element(), got.document_element(), "");
    EXPECT_EQ(InstallManifest(dir_ / "saved.xml").checkInstalledFeature("caf\xC3\xA9", {}), "8.5");
  }
}

// A declaration anywhere but at the very start makes the parser read the bytes in another
// encoding than the one the saved file would name; such a manifest is not well-formed.
TEST_F(InstallManifestTest, DeclarationAfterOtherTextHasNoDocument) {
  const std::string declaration = "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>";
  const std::string body = levels(installFeature("id=\"a\" version=\"8.5\xE9\"", ""));
  for (const std::string& xml :
       {"\n" + declaration + body, "x" + declaration + body, "<!-- c -->" + declaration + body,
        "\xEF\xBB\xBF " + declaration + body, body + declaration}) {
    EXPECT_FALSE(InstallManifest(write(xml)).hasDocument()) << xml;
  }
  InstallManifest first(write(declaration + body));
  ASSERT_TRUE(first.hasDocument());
  EXPECT_EQ(first.checkInstalledFeature("a", std::nullopt), "8.5\xC3\xA9");
}

// An ISO-8859-1 manifest is saved in ISO-8859-1; a character that encoding cannot hold (from a
// reference in the original or from the installer root) is written as a character reference.
TEST_F(InstallManifestTest, Latin1ManifestKeepsEveryCharacter) {
  const std::string path = write(
      "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\n" +
      levels(installFeature("id=\"caf\xE9\" version=\"1&#x2013;2\"",
                            feature("id=\"f\" version=\"\xFC\" url=\"${installer.root}/x.jar\"")) +
             "<note>&#x65E5;\xE9</note>"));
  InstallManifest manifest(path);
  ASSERT_TRUE(
      manifest.replaceInstallerRootWith("file:/Volumes/\xE6\x97\xA5\xC3\xA9 \xF0\x9F\x98\x80"));
  ASSERT_TRUE(manifest.saveInstallManifestAs());
  const std::string saved = *testing::readFile(path);
  EXPECT_THAT(saved, ::testing::StartsWith("<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>"));
  EXPECT_THAT(saved, ::testing::HasSubstr("url=\"file:/Volumes/&#x65E5;\xE9 &#x1F600;/x.jar\""));
  EXPECT_THAT(saved, ::testing::HasSubstr("<note>&#x65E5;\xE9</note>"));
  EXPECT_EQ(saved.find('?', saved.find("?>") + 2), std::string::npos);

  const InstallManifest reloaded(path);
  EXPECT_EQ(reloaded.checkInstalledFeature("caf\xC3\xA9", std::nullopt),
            "1\xE2\x80\x93"
            "2");
  EXPECT_EQ(reloaded.checkInstalledFeature(std::nullopt, "f"), "\xC3\xBC");
}

}  // namespace
}  // namespace rcpinstall
