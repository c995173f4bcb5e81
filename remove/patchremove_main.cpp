// patchremove: removes the installed hotfix of the product's platform (run as root).
#include "remove/patch_remove_tool.h"

int main(int argc, char** argv) {
  return rcpinstall::PatchRemoveMain(argc, argv);
}
