// The window mode of a build without GTK 3: the options are checked, then it says it is absent.
#include <ostream>

#include "installer_host/installer_host_window.h"

namespace rcpinstall::installer_host {

int runInstallerPaneWindow(const std::vector<std::string>& args, std::ostream&, std::ostream& err) {
  if (!parseWindowOptions(args, err)) return 2;
  err << "installer-pane-host: the window mode is not built (it needs GTK 3, Debian "
         "libgtk-3-dev, when the tree is configured)\n";
  return 1;
}

}  // namespace rcpinstall::installer_host
