// patchapply: applies a hotfix package to an installed product (started by the package).
#include "apply/patch_apply.h"

int main(int argc, char** argv) {
  return rcpinstall::PatchApplyMain(argc, argv);
}
