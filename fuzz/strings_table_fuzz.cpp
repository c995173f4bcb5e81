// Fuzz target: the localization table reader (text, UTF-16 and property-list forms).
#include "fuzz/fuzz_support.h"
#include "os/bundle.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::optional<rcpinstall::os::StringsTable> table =
      rcpinstall::os::parseStringsTable(rcpinstall::fuzz::asText(data, size));
  if (!table) return 0;
  // The pane shows these texts as they are: they must be UTF-8 whatever form they came in.
  for (const auto& [key, text] : *table) {
    FUZZ_CHECK(rcpinstall::fuzz::isUtf8(key));
    FUZZ_CHECK(rcpinstall::fuzz::isUtf8(text));
  }
  return 0;
}
