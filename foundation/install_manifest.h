// InstallManifest: the provisioning manifest XML: feature versions, installer root, saving.
#pragma once

#include "os/root.h"

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace rcpinstall {

// The placeholder for the installer's payload location in the features' "url" values.
inline constexpr const char* INSTALLER_ROOT_PLACEHOLDER = "${installer.root}";
// What a version lookup answers when the manifest records no such feature.
inline constexpr const char* FEATURE_NOT_FOUND = "-1";

class InstallManifest {
 public:
  // Reads and parses the manifest once; a missing, unreadable or malformed file gives an
  // object without a document (lookups answer "-1", edits and saves answer false).
  explicit InstallManifest(const os::Location& pathToManifest);
  ~InstallManifest();
  InstallManifest(const InstallManifest&) = delete;
  InstallManifest& operator=(const InstallManifest&) = delete;

  // The version that the manifest records for the feature (searched in the requirements of
  // every install feature) or, without a feature identifier, for the install feature. "-1"
  // when nothing matches; none when the matching element has no "version" attribute.
  std::optional<std::string> checkInstalledFeature(
      const std::optional<std::string>& installFeatureID,
      const std::optional<std::string>& featureID) const;

  // The identifier and version of every install feature the manifest installs (no "action",
  // or "install"), in document order; a missing version is empty.
  std::vector<std::pair<std::string, std::string>> installedFeatures() const;

  // Replaces every "${installer.root}" in the "url" values of the features required by the
  // install features. Changes only the document in memory.
  bool replaceInstallerRootWith(const std::string& replacement);

  // Writes the document, indented, atomically to the path or, without one, to the file it was
  // loaded from. False without a document, when the write failed, or when the text written
  // would not load again (nothing is written then).
  bool saveInstallManifestAs(const std::optional<os::Location>& path = std::nullopt) const;

  bool hasDocument() const { return _xmlDoc != nullptr; }

 private:
  struct Document;

  os::Location _pathToManifest;
  std::unique_ptr<Document> _xmlDoc;
};

}  // namespace rcpinstall
