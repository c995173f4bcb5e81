// Fuzz target: the properties reader on any bytes, and the writer on what it read.
#include <algorithm>
#include <set>
#include <vector>

#include "foundation/java_properties.h"
#include "foundation/string_util.h"
#include "fuzz/fuzz_support.h"

namespace {

// The lines of a written file, each less its trailing blanks, in byte order. Lines are in the
// table's key order, and a key read back from its escapes ("\u00e9") sorts apart from the
// character it stands for; and the reader trims line ends, so the one value that can end in
// blanks (a continued value at the very end of a file) loses them when read again. Nothing
// else may change.
std::vector<std::string> linesOf(std::string_view text) {
  std::vector<std::string> lines;
  for (size_t start = 0; start < text.size();) {
    size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(start, end - start);
    while (!line.empty() && (line.back() == ' ' || line.back() == '\t')) line.remove_suffix(1);
    lines.emplace_back(line);
    start = end + 1;
  }
  std::sort(lines.begin(), lines.end());
  return lines;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using rcpinstall::JavaProperties;
  const JavaProperties::Table read = JavaProperties::parse(rcpinstall::fuzz::asText(data, size));
  for (const auto& [key, value] : read) {
    FUZZ_CHECK(rcpinstall::fuzz::isUtf8(key));
    FUZZ_CHECK(rcpinstall::fuzz::isUtf8(value));
  }

  // What is written is printable ASCII in lines (a virtual-machine option's separators, tabs
  // among them, are written as read), and reading and writing it again changes nothing: a file
  // merged twice is the file merged once.
  const std::string written = JavaProperties::serialize(read);
  for (const char c : written) FUZZ_CHECK(c == '\n' || c == '\t' || (c >= 0x20 && c <= 0x7E));
  // A file may name one key both ways, "caf\u00e9" and in ISO-8859-1; the reader keeps two
  // keys, written as two lines of the same key, of which a reader keeps one.
  std::set<std::string> escapedKeys;
  for (const auto& entry : read) {
    if (!escapedKeys.insert(rcpinstall::StringUtil::convertNSStringTo8859_1Key(entry.first))
             .second) {
      return 0;
    }
  }
  const JavaProperties::Table reread = JavaProperties::parse(written);
  FUZZ_CHECK(linesOf(JavaProperties::serialize(reread)) == linesOf(written));
  return 0;
}
