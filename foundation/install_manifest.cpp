#include "foundation/install_manifest.h"

#include <pugixml.hpp>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <utility>
#include <vector>

#include "foundation/string_util.h"
#include "os/atomic_file.h"
#include "os/system_log.h"
#include "os/utf8.h"

namespace rcpinstall {

// The tree is parsed in place: its names and values point into `buffer`, which therefore
// lives exactly as long as the tree. Encoding and byte-order mark are kept so that a save
// writes the document in the form it was read.
struct InstallManifest::Document {
  std::string buffer;
  pugi::xml_document tree;
  pugi::xml_encoding encoding = pugi::encoding_utf8;
  bool byteOrderMark = false;
};

namespace {

constexpr const char* kInstallFeature = "installfeature";
constexpr const char* kRequirements = "requirements";
constexpr const char* kFeature = "feature";
constexpr const char* kIndent = "  ";

bool startsWithByteOrderMark(std::string_view bytes) {
  auto starts = [&](std::string_view mark) { return bytes.substr(0, mark.size()) == mark; };
  using namespace std::string_view_literals;
  return starts("\xEF\xBB\xBF"sv) || starts("\xFE\xFF"sv) || starts("\xFF\xFE"sv) ||
         starts("\x00\x00\xFE\xFF"sv);
}

// Compared as C strings (a lookup compares every feature of a large manifest); the caller sees
// to it that the text holds no NUL.
bool attributeEquals(const pugi::xml_node& node, const char* name, const std::string& text) {
  pugi::xml_attribute attribute = node.attribute(name);
  return attribute && std::strcmp(attribute.value(), text.c_str()) == 0;
}

// A feature counts as installed when it has no "action" or its action is exactly "install".
bool countsAsInstalled(const pugi::xml_node& feature) {
  pugi::xml_attribute action = feature.attribute("action");
  return !action || std::string_view(action.value()) == "install";
}

// Follows the fixed path root / domain-object / object-data / install to the first install
// feature; each missing level ends the walk with its own log line and an empty node.
pugi::xml_node firstInstallFeature(const pugi::xml_document& tree) {
  // A loaded document always has its root element.
  const pugi::xml_node root = tree.document_element();
  pugi::xml_node domainObject = root.child("domain-object");
  if (!domainObject) {
    os::SystemLog::log(os::SystemLog::kError, "Not able to get domain-object element");
    return {};
  }
  pugi::xml_node objectData = domainObject.child("object-data");
  if (!objectData) {
    os::SystemLog::log(os::SystemLog::kError, "Not able to get object-data element");
    return {};
  }
  pugi::xml_node install = objectData.child("install");
  if (!install) {
    os::SystemLog::log(os::SystemLog::kError, "Not able to get install element");
    return {};
  }
  pugi::xml_node installFeature = install.child(kInstallFeature);
  if (!installFeature) {
    os::SystemLog::log(os::SystemLog::kError, "Not able to get install-feature element");
  }
  return installFeature;
}

// The parser accepts several top-level elements and, read as a fragment, keeps text outside
// them; a well-formed document has exactly one element and no text outside it.
bool hasSingleRoot(const pugi::xml_document& tree) {
  int elements = 0;
  for (pugi::xml_node node : tree.children()) {
    if (node.type() == pugi::node_pcdata || node.type() == pugi::node_cdata) return false;
    elements += node.type() == pugi::node_element;
  }
  return elements == 1;
}

// The parser keeps a repeated attribute; a well-formed element names each attribute once. The
// walk visits every element, so it is kept cheap: an element's names are gathered once and
// told apart by their first byte before they are compared; many names are sorted instead.
bool attributesAreUnique(pugi::xml_document& tree) {
  struct Walker : pugi::xml_tree_walker {
    bool for_each(pugi::xml_node& node) override {
      names.clear();
      for (pugi::xml_attribute a = node.first_attribute(); a; a = a.next_attribute()) {
        names.push_back(a.name());
      }
      const auto same = [](const char* a, const char* b) {
        return a[0] == b[0] && std::strcmp(a, b) == 0;
      };
      if (names.size() > 8) {
        std::sort(names.begin(), names.end(),
                  [](const char* a, const char* b) { return std::strcmp(a, b) < 0; });
        unique = std::adjacent_find(names.begin(), names.end(), same) == names.end();
        return unique;
      }
      for (size_t i = 1; i < names.size(); ++i) {
        for (size_t k = 0; k < i; ++k) {
          if (same(names[k], names[i])) return unique = false;
        }
      }
      return true;
    }
    std::vector<const char*> names;
    bool unique = true;
  } walker;
  tree.traverse(walker);
  return walker.unique;
}

// Whether the text begins with a reference to a character or to a predefined entity.
bool beginsReference(std::string_view text) {
  const size_t end = text.find(';');
  if (end == std::string_view::npos || end > 12) return false;
  const std::string_view name = text.substr(1, end - 1);
  const bool numeric =
      name.size() > 1 && name[0] == '#' &&
      (name[1] == 'x' ? name.size() > 2 && name.find_first_not_of("0123456789abcdefABCDEF", 2) ==
                                               std::string_view::npos
                      : name.find_first_not_of("0123456789", 1) == std::string_view::npos);
  return numeric || name == "amp" || name == "lt" || name == "gt" || name == "quot" ||
         name == "apos";
}

// Where the markup that begins at `open` ends when it is a comment, CDATA section, processing
// instruction or document type declaration, whose text holds no references; `open` otherwise.
size_t endOfTextMarkup(std::string_view text, size_t open) {
  const auto skipTo = [&](size_t from, std::string_view end) {
    const size_t found = text.find(end, from);
    return found == std::string_view::npos ? text.size() : found + end.size();
  };
  const std::string_view rest = text.substr(open);
  if (rest.starts_with("<!--")) return skipTo(open + 4, "-->");
  if (rest.starts_with("<![CDATA[")) return skipTo(open + 9, "]]>");
  if (rest.starts_with("<?")) return skipTo(open + 2, "?>");
  if (rest.starts_with("<!DOCTYPE")) {
    const size_t close = text.find('>', open);
    const size_t subset = text.find('[', open);
    return subset < close ? skipTo(subset, "]>") : skipTo(open, ">");
  }
  return open;
}

// The parser drops text after the root element and leaves a reference to an entity it does
// not know as text; a well-formed document has no such text and refers only to the five
// predefined entities and to characters. Checked on the bytes before they are parsed in place,
// where the text is ASCII-compatible (UTF-16 and UTF-32 documents, recognised by their zero
// bytes, are left to the parser).
bool textIsWellFormed(std::string_view text) {
  if (text.substr(0, 4).find('\0') != std::string_view::npos) return true;
  // Text after the last markup, which the parser drops even from a fragment.
  const size_t last = text.rfind('>');
  if (last != std::string_view::npos &&
      text.find_first_not_of(" \t\r\n", last + 1) != std::string_view::npos) {
    return false;
  }
  // Only the ampersands are looked at (memchr finds them fast). The rare one that begins no
  // reference is fine inside a comment, CDATA section, processing instruction or document type
  // declaration: the markup up to it is walked to place it, from where the last walk stopped,
  // so that however many there are, the text is walked at most once.
  size_t walked = 0;  // the markup before here is walked; the last of it held the text
  for (size_t i = text.find('&'); i != std::string_view::npos; i = text.find('&', i + 1)) {
    if (beginsReference(text.substr(i))) continue;
    while (walked <= i) {
      const size_t open = text.find('<', walked);
      if (open > i) return false;
      const size_t end = endOfTextMarkup(text, open);
      walked = end == open ? open + 1 : end;
    }
  }
  return true;
}

// The parser also takes an XML declaration after other text, and then reads the document in
// an encoding other than the one it names; a save, which writes the declaration first, would
// change what the bytes mean. A well-formed document has its declaration at the very start:
// its name follows "<?" directly, after the byte-order mark (three bytes once decoded).
bool declarationComesFirst(const pugi::xml_document& tree, bool byteOrderMark) {
  for (pugi::xml_node node : tree.children()) {
    if (node.type() != pugi::node_declaration) continue;
    return node == tree.first_child() && node.offset_debug() == (byteOrderMark ? 5 : 2);
  }
  return true;
}

// ISO-8859-1 holds the first 256 characters only, and the XML writer puts a "?" for any other
// one (from a character reference of the original, or a replaced installer root). A document
// read as ISO-8859-1 holds such characters only in text and attribute values, where a numeric
// character reference stands for them: the UTF-8 form is turned into ISO-8859-1 that way. A
// byte that begins no UTF-8 sequence (the replacement text is the caller's) stays as it is.
std::string latin1WithReferences(std::string_view utf8) {
  std::string out;
  out.reserve(utf8.size());
  for (size_t i = 0; i < utf8.size();) {
    const auto lead = static_cast<unsigned char>(utf8[i]);
    const os::Utf8Character c = os::decodeUtf8Character(utf8.substr(i));
    const size_t length = c.length;
    const uint32_t codePoint = c.codePoint;
    if (length == 0) {
      out += static_cast<char>(lead);
      ++i;
      continue;
    }
    if (codePoint <= 0xFF) {
      out += static_cast<char>(codePoint);
    } else {
      char reference[16];
      std::snprintf(reference, sizeof reference, "&#x%X;", static_cast<unsigned>(codePoint));
      out += reference;
    }
    i += length;
  }
  return out;
}

class StringWriter : public pugi::xml_writer {
 public:
  void write(const void* data, size_t size) override {
    text.append(static_cast<const char*>(data), size);
  }
  std::string text;
};

}  // namespace

InstallManifest::InstallManifest(const os::Location& pathToManifest)
    : _pathToManifest(pathToManifest) {
  std::optional<std::string> bytes = os::readWholeFile(pathToManifest);
  if (!bytes) return;
  auto document = std::make_unique<Document>();
  document->buffer = std::move(*bytes);
  document->byteOrderMark = startsWithByteOrderMark(document->buffer);
  if (!textIsWellFormed(document->buffer)) return;
  // As a fragment, so that text outside the root element stays in the tree to be refused.
  pugi::xml_parse_result result = document->tree.load_buffer_inplace(
      document->buffer.data(), document->buffer.size(), pugi::parse_full | pugi::parse_fragment,
      pugi::encoding_auto);
  if (!result || !hasSingleRoot(document->tree) ||
      !declarationComesFirst(document->tree, document->byteOrderMark) ||
      !attributesAreUnique(document->tree)) {
    return;
  }
  document->encoding = result.encoding;
  _xmlDoc = std::move(document);
}

InstallManifest::~InstallManifest() = default;

std::vector<std::pair<std::string, std::string>> InstallManifest::installedFeatures() const {
  std::vector<std::pair<std::string, std::string>> found;
  if (!_xmlDoc) return found;
  for (pugi::xml_node installFeature = firstInstallFeature(_xmlDoc->tree); installFeature;
       installFeature = installFeature.next_sibling(kInstallFeature)) {
    if (countsAsInstalled(installFeature)) {
      found.emplace_back(installFeature.attribute("id").value(),
                         installFeature.attribute("version").value());
    }
  }
  return found;
}

std::optional<std::string> InstallManifest::checkInstalledFeature(
    const std::optional<std::string>& installFeatureID,
    const std::optional<std::string>& featureID) const {
  const std::string notFound = FEATURE_NOT_FOUND;
  if (!_xmlDoc) return notFound;
  pugi::xml_node installFeature = firstInstallFeature(_xmlDoc->tree);
  if (!installFeature || (!installFeatureID && !featureID)) return notFound;
  // An attribute value ends at its first NUL, so an identifier that holds one matches none.
  if ((featureID ? *featureID : *installFeatureID).find('\0') != std::string::npos) return notFound;

  std::string answer = notFound;
  for (; installFeature; installFeature = installFeature.next_sibling(kInstallFeature)) {
    pugi::xml_node match;
    if (!featureID) {
      if (attributeEquals(installFeature, "id", *installFeatureID)) match = installFeature;
    } else {
      pugi::xml_node requirements = installFeature.child(kRequirements);
      if (!requirements) continue;
      for (pugi::xml_node feature = requirements.child(kFeature); feature;
           feature = feature.next_sibling(kFeature)) {
        if (attributeEquals(feature, "id", *featureID) && countsAsInstalled(feature)) {
          match = feature;
          break;
        }
      }
    }
    if (match) {
      pugi::xml_attribute version = match.attribute("version");
      if (!version) return std::nullopt;
      answer = version.value();
    }
    if (answer != notFound) return answer;
  }
  return answer;
}

bool InstallManifest::replaceInstallerRootWith(const std::string& replacement) {
  if (!_xmlDoc) return false;
  pugi::xml_node installFeature = firstInstallFeature(_xmlDoc->tree);
  if (!installFeature) return false;

  bool allSet = true;
  for (; installFeature; installFeature = installFeature.next_sibling(kInstallFeature)) {
    pugi::xml_node requirements = installFeature.child(kRequirements);
    if (!requirements) continue;
    for (pugi::xml_node feature : requirements.children(kFeature)) {
      pugi::xml_attribute url = feature.attribute("url");
      if (!url) continue;
      std::string_view value = url.value();
      if (value.find(INSTALLER_ROOT_PLACEHOLDER) == std::string_view::npos) continue;
      std::string replaced = StringUtil::stringByReplacingOccurrencesOfString(
          value, INSTALLER_ROOT_PLACEHOLDER, replacement);
      // Only an allocation failure of the tree can refuse the new value.
      if (!url.set_value(replaced.data(), replaced.size())) allSet = false;
    }
  }
  return allSet;
}

bool InstallManifest::saveInstallManifestAs(const std::optional<os::Location>& path) const {
  if (!_xmlDoc) return false;
  const os::Location& target = path ? *path : _pathToManifest;
  // The declaration is written only when the document has one, as it was parsed.
  unsigned flags = pugi::format_indent | pugi::format_no_declaration;
  if (_xmlDoc->byteOrderMark) flags |= pugi::format_write_bom;
  StringWriter writer;
  std::string bytes;
  if (_xmlDoc->encoding == pugi::encoding_latin1) {
    _xmlDoc->tree.save(writer, kIndent, flags, pugi::encoding_utf8);
    bytes = latin1WithReferences(writer.text);
  } else {
    _xmlDoc->tree.save(writer, kIndent, flags, _xmlDoc->encoding);
    bytes = std::move(writer.text);
  }
  // The writer breaks "--" in a comment as "- -"; in a document whose markup the parser and
  // the text check place differently (an unclosed internal subset) that can leave a stray
  // ampersand outside markup, and the file would no longer load. Such a save is refused.
  if (!textIsWellFormed(bytes)) {
    os::SystemLog::log(os::SystemLog::kError, "Not saving %s: it would not load again",
                       target.path().c_str());
    return false;
  }
  return os::replaceFileAtomically(target, bytes);
}

}  // namespace rcpinstall
