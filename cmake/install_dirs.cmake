# The package names and the installation directories, with the paths of GNUInstallDirs (the
# installed layout is drawn in cmake/install.cmake). Included before the folders, so that the
# programs learn where the installed tree puts their helpers from one configured header,
# foundation/install_paths.h.

set(RCP_PACKAGE_NAME orrery-hotfix)
set(RCP_SOVERSION 1)
set(RCP_LIBRARY_PACKAGE libpatchremove${RCP_SOVERSION})
set(RCP_DEV_PACKAGE libpatchremove-dev)
set(RCP_SIMULATOR_PACKAGE ${RCP_PACKAGE_NAME}-simulator)
set(RCP_ANSIBLE_PACKAGE ${RCP_PACKAGE_NAME}-ansible)

if(NOT DEFINED CMAKE_INSTALL_LIBDIR AND CMAKE_LIBRARY_ARCHITECTURE
   AND EXISTS /etc/debian_version)
  set(CMAKE_INSTALL_LIBDIR lib/${CMAKE_LIBRARY_ARCHITECTURE} CACHE PATH
    "Object code libraries (LIBDIR)")
endif()
include(GNUInstallDirs)

set(RCP_INSTALL_LIBEXECDIR ${CMAKE_INSTALL_LIBEXECDIR}/${RCP_PACKAGE_NAME})
# The plug-in's place is named in the pages and the guides, so it is the same on every system.
set(RCP_INSTALL_PLUGINDIR lib/${RCP_PACKAGE_NAME})
set(RCP_INSTALL_COMPLETIONDIR ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)
set(RCP_INSTALL_DOCROOT ${CMAKE_INSTALL_DATADIR}/doc)
set(RCP_INSTALL_DOCDIR ${RCP_INSTALL_DOCROOT}/${RCP_PACKAGE_NAME})
# The libexec directory as seen from the bin directory (../libexec/orrery-hotfix), by which
# a program finds the helpers of an installed tree from its own place.
file(RELATIVE_PATH RCP_LIBEXEC_FROM_BIN /${CMAKE_INSTALL_BINDIR} /${RCP_INSTALL_LIBEXECDIR})
configure_file(${CMAKE_SOURCE_DIR}/foundation/install_paths.h.in
  ${CMAKE_BINARY_DIR}/generated/foundation/install_paths.h @ONLY)
