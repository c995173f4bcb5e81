// The plug-in's one exported function: the factory through which the installer creates the
// result pane.
#include <new>

#include "os/installer_pane.h"
#include "resultpane/provision_result_pane.h"

extern "C" __attribute__((visibility("default"))) rcpinstall::os::InstallerPane* OutcomePaneCreate(
    const rcpinstall::os::InstallerPaneSetup* setup) {
  if (setup == nullptr) return nullptr;
  // Nothing may be thrown across the C boundary into the host.
  try {
    return new rcpinstall::ProvisionResultPane(setup->textView, setup->preferredLanguages);
  } catch (...) {
    return nullptr;
  }
}
