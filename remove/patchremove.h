/* The removal of an installed Orrery hotfix, exported with C linkage by libpatchremove.so. */
#ifndef RCP_PATCHREMOVE_H
#define RCP_PATCHREMOVE_H

#include <stdint.h>

#if defined(__GNUC__)
#define RCP_PATCHREMOVE_API __attribute__((visibility("default")))
#else
#define RCP_PATCHREMOVE_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Status codes of a removal. */
#define RCP_UNINSTALL_OK 0                   /* the hotfix was removed */
#define RCP_UNINSTALL_NO_BUNDLE 1            /* the platform's application bundle is unknown */
#define RCP_UNINSTALL_PLATFORM_NOT_FOUND 150 /* no installed platform at that home */
#define RCP_UNINSTALL_UNSUPPORTED_CHARS 155  /* the rcp home's path has unsupported characters */
#define RCP_UNINSTALL_PLATFORM_RUNNING 170   /* the platform's application is running */
#define RCP_UNINSTALL_FAILED 190             /* the removal workflow failed */

/* Checks the platform home (the directory holding "rcp") and removes its installed hotfix:
   the product hotfix when orreryHotfix is non-zero, else the plain hotfix. Answers one of
   the status codes above. Runs in the caller's process, blocks while the platform launcher
   runs, and checks no user id of its own. */
RCP_PATCHREMOVE_API int16_t RCP_UninstallHotfix(const char* pathToPlatformHome,
                                                unsigned char orreryHotfix);

/* RCP_UninstallHotfix for the plain hotfix. */
RCP_PATCHREMOVE_API int16_t RCPUninstallHotfix(const char* pathToPlatformHome);

/* RCP_UninstallHotfix for the product hotfix. */
RCP_PATCHREMOVE_API int16_t RCPUninstallOrreryHotfix(const char* pathToPlatformHome);

#ifdef __cplusplus
}
#endif

#endif /* RCP_PATCHREMOVE_H */
