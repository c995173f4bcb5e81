#include "foundation/register_file.h"

#include "os/path.h"
#include "os/system_log.h"

namespace rcpinstall {

namespace {

bool isSingleComponent(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}

// A product name that would lead out of the registry directory reads no file at all.
Properties loadRegistry(const std::string& directory, const std::string& productName) {
  if (!isSingleComponent(productName)) return Properties(std::string());
  return Properties(os::appendComponent(directory, REGISTER_FILE_NAME));
}

}  // namespace

RegisterFile::RegisterFile(const std::string& productName, const std::string& registerRoot)
    : _properties(loadRegistry(os::appendComponent(registerRoot, productName), productName)),
      _registerDirectoryLocation(os::appendComponent(registerRoot, productName)) {}

std::optional<std::string> RegisterFile::getOldInstallLocation() const {
  return _properties.getStringForKey(KEY_OLD_INSTALL_LOCATION);
}

std::optional<std::string> RegisterFile::getHotfixVersion() const {
  return _properties.getStringForKey(KEY_HOTFIX_VERSION);
}

std::optional<std::string> RegisterFile::getPathToRcpHome() const {
  return os::appendComponent(getOldInstallLocation(), "rcp");
}

std::optional<std::string> RegisterFile::getProductPath() const {
  return _properties.getStringForKey(KEY_PATH_TO_PRODUCT);
}

void RegisterFile::updateHotfixVersion(const std::string& version) {
  if (_properties.setProperty(os::PlistValue(version), KEY_HOTFIX_VERSION)) {
    os::SystemLog::log(os::SystemLog::kInfo, "Update CURRENT_HOTFIX_VERSION to %s",
                       version.c_str());
  } else {
    os::SystemLog::log(os::SystemLog::kWarning, "Fail to update CURRENT_HOTFIX_VERSION");
  }
  if (!_properties.savePropertiesToFile()) {
    os::SystemLog::log(os::SystemLog::kWarning, "Fail to save CURRENT_HOTFIX_VERSION");
  }
}

}  // namespace rcpinstall
