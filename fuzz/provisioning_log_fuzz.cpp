// Fuzz target: cutting the status message out of a provisioning log.
#include "fuzz/fuzz_support.h"
#include "resultpane/provision_result.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view log = rcpinstall::fuzz::asText(data, size);
  const std::optional<std::string> message = rcpinstall::finalStatusMessageFromLog(log);
  if (!message) return 0;
  // One field of one line with its markers turned into empty lines: no separator and no
  // marker are left, line feeds come only in the markers' pairs, and the text is UTF-8.
  FUZZ_CHECK(rcpinstall::fuzz::isUtf8(log));
  FUZZ_CHECK(rcpinstall::fuzz::isUtf8(*message));
  FUZZ_CHECK(message->find_first_of(";|") == std::string::npos);
  for (size_t at = message->find('\n'); at != std::string::npos;) {
    const size_t end = message->find_first_not_of('\n', at);
    const size_t run = (end == std::string::npos ? message->size() : end) - at;
    FUZZ_CHECK(run % 2 == 0);
    at = end == std::string::npos ? end : message->find('\n', end);
  }
  return 0;
}
