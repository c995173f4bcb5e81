// Fuzz target: the property-list reader (XML and binary) on any bytes, and the XML writer on
// what it read.
#include "fuzz/fuzz_support.h"
#include "os/plist_value.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace rcpinstall::os;
  const std::optional<PlistValue> value = parsePlist(rcpinstall::fuzz::asText(data, size));
  if (!value) return 0;

  // Whatever was read is written as XML that reads back as the same value, so a store that is
  // read and saved again keeps its contents.
  const std::string xml = serializePlistXml(*value);
  FUZZ_CHECK(!xml.empty());
  const std::optional<PlistValue> reread = parsePlist(xml);
  FUZZ_CHECK(reread.has_value());
  FUZZ_CHECK(serializePlistXml(*reread) == xml);
  return 0;
}
