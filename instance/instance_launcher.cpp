// InstanceService: starting the platform launcher with no more powers than those who can
// change it.
#include "instance/instance_files.h"
#include "instance/instance_service.h"
#include "os/child_process.h"
#include "os/directory_loan.h"
#include "os/file_system.h"
#include "os/path.h"
#include "os/system_log.h"
#include "os/user_identity.h"

namespace rcpinstall {

namespace fs = os::FileSystem;

std::shared_ptr<const os::Roots> InstanceService::openProductRoots(
    const std::optional<std::string>& bundle, const std::string& rcphome, bool asFound) {
  if (asFound) return os::Roots::followingLinks();
  auto roots = std::make_shared<os::Roots>();
  const bool held = (!bundle || roots->add(*bundle)) &&
                    roots->add(instance_files::platformHomeOf(rcphome)) && roots->add(rcphome);
  if (!held) {
    os::SystemLog::log(os::SystemLog::kError, "Not able to hold the product at %s.",
                       rcphome.c_str());
    return nullptr;
  }
  return roots;
}

int InstanceService::runLauncher(const std::vector<std::string>& arguments) {
  const std::optional<std::string> launcher = launcherPath();
  if (!launcher) return -1;
  // A loan of the platform home that a stopped run left is returned before anything else.
  const std::string platformHome = instance_files::platformHomeOf(*_pathToRcphome);
  if (os::isRunningAsRoot() && !os::returnLentDirectory(at(platformHome))) {
    os::SystemLog::log(os::SystemLog::kWarning, "Not able to undo the loan of %s",
                       platformHome.c_str());
  }
  const std::optional<os::Identity> identity =
      os::identityToRun(at(*launcher), at(*_pathToRcphome));
  if (!identity) return os::runAndWait(*launcher, arguments);

  const std::optional<std::string> user = os::userNameOf(identity->uid);
  os::SystemLog::log(os::SystemLog::kInfo,
                     "Starting the launcher as %s (uid %u): users other than root can change it.",
                     user ? user->c_str() : "an unnamed user",
                     static_cast<unsigned>(identity->uid));
  // The run writes the platform's files and the workspace: what an earlier run (or one killed
  // half way through its repair) left to root is given to the launcher's account first. A
  // tree whose last repair finished for that account needs no walk.
  if (user && identity->uid != 0) handOverTo(identity->uid, *user);
  // The run leaves its result in the platform home, which stays root's: the account may only
  // add entries there for the length of the run (changed through the roots, never through a
  // link).
  const std::optional<fs::EntryAttributes> before = fs::entryAttributes(at(platformHome));
  const bool lend = before && !before->isLink && before->owner != identity->uid;
  if (lend && !os::lendDirectory(at(platformHome), identity->uid)) {
    os::SystemLog::log(os::SystemLog::kWarning, "Not able to let %s write %s",
                       user ? user->c_str() : "the launcher's account", platformHome.c_str());
  }
  const int status = os::runAndWait(*launcher, arguments, identity);
  if (lend && !os::returnLentDirectory(at(platformHome))) {
    os::SystemLog::log(os::SystemLog::kWarning, "Not able to undo the loan of %s",
                       platformHome.c_str());
  }
  return status;
}

}  // namespace rcpinstall
