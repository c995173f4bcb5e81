/* A C caller of libpatchremove.so. "patchremove_client plain|orrery|flag <platform home>"
   makes one removal and prints its status; "patchremove_client null" removes with no path. */
#include <stdio.h>
#include <string.h>

#include "patchremove.h"

int main(int argc, char** argv) {
  const char* mode = argc > 1 ? argv[1] : "";
  const char* home = argc > 2 ? argv[2] : NULL;
  int16_t status;
  if (strcmp(mode, "null") == 0) {
    status = RCPUninstallHotfix(NULL);
  } else if (home == NULL) {
    fprintf(stderr, "usage: patchremove_client plain|orrery|flag <platform home> | null\n");
    return 2;
  } else if (strcmp(mode, "plain") == 0) {
    status = RCPUninstallHotfix(home);
  } else if (strcmp(mode, "orrery") == 0) {
    status = RCPUninstallOrreryHotfix(home);
  } else if (strcmp(mode, "flag") == 0) {
    status = RCP_UninstallHotfix(home, 2); /* any non-zero byte asks for the product hotfix */
  } else {
    fprintf(stderr, "unknown removal: %s\n", mode);
    return 2;
  }
  printf("status %d\n", (int)status);
  return 0;
}
