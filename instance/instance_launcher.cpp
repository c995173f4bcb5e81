// InstanceService: starting the platform launcher with no more powers than those who can
// change it.
#include "instance/instance_files.h"
#include "instance/instance_service.h"
#include "os/child_process.h"
#include "os/file_system.h"
#include "os/path.h"
#include "os/system_log.h"
#include "os/user_identity.h"

namespace rcpinstall {

namespace fs = os::FileSystem;

void InstanceService::anchorProduct(os::AnchorScope& scope,
                                    const std::optional<std::string>& bundle,
                                    const std::string& rcphome) {
  if (bundle) scope.add(*bundle);
  scope.add(instance_files::platformHomeOf(rcphome));
  scope.add(rcphome);
}

int InstanceService::runLauncher(const std::vector<std::string>& arguments) {
  const std::optional<std::string> launcher = launcherPath();
  if (!launcher) return -1;
  const std::optional<os::Identity> identity = os::identityToRun(*launcher, *_pathToRcphome);
  if (!identity) return os::runAndWait(*launcher, arguments);

  const std::optional<std::string> user = os::userNameOf(identity->uid);
  os::SystemLog::log(os::SystemLog::kInfo,
                     "Starting the launcher as %s (uid %u): users other than root can change it.",
                     user ? user->c_str() : "an unnamed user",
                     static_cast<unsigned>(identity->uid));
  // The run writes the platform's files, the workspace and its result: what an earlier run
  // (or one killed half way through its repair) left to root is given to the launcher's
  // account first, and the platform home is lent to it for the length of the run (changed
  // below the anchors, never through a link).
  if (user && identity->uid != 0) updatePermissions(true, true, user);
  const std::string platformHome = instance_files::platformHomeOf(*_pathToRcphome);
  const std::optional<fs::EntryAttributes> before = fs::entryAttributes(platformHome);
  const bool lend = before && !before->isLink && before->owner != identity->uid && user;
  if (lend && !fs::setAttributes(platformHome, fs::Attributes{user, std::nullopt, std::nullopt})) {
    os::SystemLog::log(os::SystemLog::kWarning, "Not able to let %s write %s", user->c_str(),
                       platformHome.c_str());
  }
  const int status = os::runAndWait(*launcher, arguments, identity);
  if (lend) {
    if (const std::optional<std::string> owner = os::userNameOf(before->owner)) {
      fs::setAttributes(platformHome, fs::Attributes{owner, std::nullopt, std::nullopt});
    }
  }
  return status;
}

}  // namespace rcpinstall
