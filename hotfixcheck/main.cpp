// hotfixcheck: checks hotfix packages, plans and rehearses installs, reports instances.
#include "hotfixcheck/hotfix_check.h"

int main(int argc, char** argv) {
  return rcpinstall::HotfixCheckMain(argc, argv);
}
