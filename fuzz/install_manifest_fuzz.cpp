// Fuzz target: the install manifest, loaded from a file, looked up, given an installer root,
// saved and loaded again. The input is three lines (install feature id, feature id, installer
// root; a line "~" stands for no id) followed by the manifest's bytes.
#include <unistd.h>

#include <array>
#include <fstream>

#include "foundation/install_manifest.h"
#include "fuzz/fuzz_support.h"

namespace {

using Id = std::optional<std::string>;

// The next line of the header; the rest of the input when there is no line feed.
std::string_view takeLine(std::string_view& text) {
  const size_t end = text.find('\n');
  const std::string_view line = text.substr(0, end);
  text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
  return line;
}

Id idOf(std::string_view line) {
  if (line == "~") return std::nullopt;
  return std::string(line);
}

bool writeFile(const std::string& path, std::string_view bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out.flush());
}

std::optional<std::string> readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The three lookups a caller makes: by install feature, by feature, by both.
using Answers = std::array<std::optional<std::string>, 3>;
Answers lookups(const rcpinstall::InstallManifest& manifest, const Id& installFeatureID,
                const Id& featureID) {
  return {manifest.checkInstalledFeature(installFeatureID, std::nullopt),
          manifest.checkInstalledFeature(std::nullopt, featureID),
          manifest.checkInstalledFeature(installFeatureID, featureID)};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using rcpinstall::InstallManifest;
  std::string_view text = rcpinstall::fuzz::asText(data, size);
  const Id installFeatureID = idOf(takeLine(text));
  const Id featureID = idOf(takeLine(text));
  const std::string root(takeLine(text));

  const std::string& scratch = rcpinstall::fuzz::scratchDirectory();
  const std::string loaded = scratch + "/install.xml";
  const std::string saved = scratch + "/saved.xml";
  ::unlink(saved.c_str());
  FUZZ_CHECK(writeFile(loaded, text));

  InstallManifest manifest(loaded);
  const Answers before = lookups(manifest, installFeatureID, featureID);
  const bool replaced = manifest.replaceInstallerRootWith(root);
  if (!manifest.hasDocument()) {
    FUZZ_CHECK(!replaced);
    FUZZ_CHECK(before == Answers({"-1", "-1", "-1"}));
    FUZZ_CHECK(!manifest.saveInstallManifestAs(saved));
    return 0;
  }
  // The installer root goes into "url" values only; versions stay as they were.
  FUZZ_CHECK(lookups(manifest, installFeatureID, featureID) == before);

  // The saved document loads again, answers the same, and saves to the same bytes; a save that
  // would not load again writes nothing.
  if (!manifest.saveInstallManifestAs(saved)) {
    FUZZ_CHECK(!readFile(saved).has_value());
    return 0;
  }
  const std::optional<std::string> first = readFile(saved);
  FUZZ_CHECK(first.has_value());
  InstallManifest reloaded(saved);
  FUZZ_CHECK(reloaded.hasDocument());
  FUZZ_CHECK(lookups(reloaded, installFeatureID, featureID) == before);
  FUZZ_CHECK(reloaded.saveInstallManifestAs(saved));
  FUZZ_CHECK(readFile(saved) == first);
  return 0;
}
