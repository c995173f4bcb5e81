// RegisterFile: the product registry, one framework.plist per product, read to find the product.
#pragma once

#include <optional>
#include <string>

#include "foundation/properties.h"

namespace rcpinstall {

inline constexpr const char* REGISTER_DIRECTORY = "/Library/Application Support/Fernhollow";
inline constexpr const char* REGISTER_FILE_NAME = "framework.plist";

inline constexpr const char* KEY_PATH_TO_PRODUCT = "pathToProduct";
inline constexpr const char* KEY_OLD_INSTALL_LOCATION = "oldInstallLocation";
inline constexpr const char* KEY_HOTFIX_VERSION = "hotfixVersion";

class RegisterFile {
 public:
  // The registry <registerRoot>/<productName>/framework.plist. A product name that is not a
  // single path component ("", ".", "..", or holding "/") names no product: the registry is
  // then empty, as for a product without a registry file.
  explicit RegisterFile(const std::string& productName,
                        const std::string& registerRoot = REGISTER_DIRECTORY);

  // Each getter answers the key's string value, or none when it is missing or not a string.
  std::optional<std::string> getOldInstallLocation() const;
  std::optional<std::string> getHotfixVersion() const;
  // <oldInstallLocation>/rcp, or none without oldInstallLocation.
  std::optional<std::string> getPathToRcpHome() const;
  std::optional<std::string> getProductPath() const;

  // Records the version in the registry file and logs the outcome.
  void updateHotfixVersion(const std::string& version);

  const std::string& getRegisterDirectory() const { return _registerDirectoryLocation; }

 private:
  Properties _properties;
  std::string _registerDirectoryLocation;
};

}  // namespace rcpinstall
