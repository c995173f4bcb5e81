# The packages CPack makes from the installed layout (cmake/install.cmake): one .deb per
# component, as Debian's policy for a shared library wants them, and one .tar.gz of all.
#
#   orrery-hotfix            the tools; suggests the simulator, which hotfixcheck rehearse uses
#   libpatchremove1          the shared library, named after its soname, with its shlibs
#                            file and the ldconfig trigger
#   libpatchremove-dev       header, pkg-config file and link; depends on libpatchremove1
#   orrery-hotfix-simulator  rcpsim, ignitor, installer-pane-host (GTK 3)
#   orrery-hotfix-ansible    the Ansible collection orrery.hotfix (architecture all), which
#                            drives the tools of orrery-hotfix on the managed hosts
#
# The dependencies on other libraries are read from the binaries with dpkg-shlibdeps.

set(CPACK_PACKAGE_NAME ${RCP_PACKAGE_NAME})
set(CPACK_PACKAGE_VENDOR "Orrery hotfix tools")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_GENERATOR DEB TGZ)
set(CPACK_SOURCE_GENERATOR "")
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)
set(CPACK_COMPONENTS_ALL runtime library dev simulator ansible)
set(CPACK_STRIP_FILES ON)
set(CPACK_ARCHIVE_COMPONENT_INSTALL OFF)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SOURCE ${RCP_PACKAGE_NAME})
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME ${RCP_PACKAGE_NAME})
set(CPACK_DEBIAN_LIBRARY_PACKAGE_NAME ${RCP_LIBRARY_PACKAGE})
set(CPACK_DEBIAN_DEV_PACKAGE_NAME ${RCP_DEV_PACKAGE})
set(CPACK_DEBIAN_SIMULATOR_PACKAGE_NAME ${RCP_SIMULATOR_PACKAGE})
set(CPACK_DEBIAN_ANSIBLE_PACKAGE_NAME ${RCP_ANSIBLE_PACKAGE})
set(CPACK_DEBIAN_ANSIBLE_PACKAGE_ARCHITECTURE all)
set(CPACK_DEBIAN_ANSIBLE_PACKAGE_DEPENDS "ansible-core (>= 2.14)")
set(CPACK_DEBIAN_ANSIBLE_PACKAGE_SUGGESTS ${RCP_PACKAGE_NAME})
set(CPACK_DEBIAN_LIBRARY_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_COMPONENT_DEV_DEPENDS library)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SUGGESTS ${RCP_SIMULATOR_PACKAGE})

# dpkg-shlibdeps for the programs. CPack would also give the library package maintainer
# scripts that call ldconfig, which Debian replaced by the trigger; so that package gets its
# trigger and shlibs file from cmake/debian, and its dependencies from the same
# dpkg-shlibdeps run by cmake/cpack_project.cmake when cpack starts.
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_SIMULATOR_PACKAGE_SHLIBDEPS ON)
configure_file(${CMAKE_CURRENT_LIST_DIR}/debian/shlibs.in ${CMAKE_BINARY_DIR}/debian/shlibs
  @ONLY)
# The symbols file tells the packages built against the library which version of it each
# function needs (the version that brought it).
configure_file(${CMAKE_CURRENT_LIST_DIR}/debian/symbols.in ${CMAKE_BINARY_DIR}/debian/symbols
  @ONLY)
set(CPACK_DEBIAN_LIBRARY_PACKAGE_CONTROL_EXTRA ${CMAKE_BINARY_DIR}/debian/shlibs
  ${CMAKE_BINARY_DIR}/debian/symbols ${CMAKE_CURRENT_LIST_DIR}/debian/triggers)
set(CPACK_DEBIAN_LIBRARY_PACKAGE_CONTROL_STRICT_PERMISSION ON)
if(TARGET patchremove_shared)
  set(CPACK_RCP_LIBRARY_FILE
    ${CMAKE_LIBRARY_OUTPUT_DIRECTORY}/libpatchremove.so.${PROJECT_VERSION})
endif()
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_LIST_DIR}/cpack_project.cmake)

# The first line is the synopsis, the rest the extended description (lines of at most 80).
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION "apply and remove hotfixes of the Orrery desktop product
The tools that install and remove hotfixes of the desktop product Orrery:
patchapply, started by a hotfix package's install script; patchremove, which
removes the installed hotfix; the installer pane outcomepane.bundle, which
shows the outcome of an install; featurecheck, which prints the version of an
installed feature; and hotfixcheck, which checks a package before it ships,
shows what patchapply would do, rehearses an install and reports what an
installation records.")
set(CPACK_DEBIAN_LIBRARY_DESCRIPTION "library that removes the installed Orrery hotfix
libpatchremove exports the removal of the installed hotfix of an Orrery
platform as three C functions, for programs other than patchremove.")
set(CPACK_DEBIAN_DEV_DESCRIPTION "development files of libpatchremove
The header patchremove.h, the pkg-config file patchremove.pc, the link
libpatchremove.so and the manual page libpatchremove(3), for building C and
C++ programs that remove the installed hotfix of an Orrery platform.")
set(CPACK_DEBIAN_SIMULATOR_DESCRIPTION "simulated Orrery platform and installer for trying hotfixes
rcpsim lays out sample products and hotfix packages, whose simulated platform
launcher ignitor stands in for the real one; installer-pane-host shows the
pane of an installer plug-in such as outcomepane.bundle in a terminal or in a
GTK 3 window. With them a hotfix package can be tried, and hotfixcheck
rehearse can run, on a machine without the real platform.")
set(CPACK_DEBIAN_ANSIBLE_DESCRIPTION "Ansible collection that rolls Orrery hotfixes out to a fleet
The collection orrery.hotfix for Ansible: the module hotfix installs a hotfix
package where hotfixcheck says it is needed and removes it again, with check
mode and diffs from hotfixcheck plan; the module hotfix_info sets what an
instance records as facts. The modules run the hotfix tools of the package
orrery-hotfix on the managed hosts and report what the tools answer.")

include(CPack)
