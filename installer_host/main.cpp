#include "installer_host/installer_host.h"

int main(int argc, char** argv) {
  return rcpinstall::installer_host::InstallerPaneHostMain(argc, argv);
}
