# The installed layout of the hotfix tools and the packages made from it.
#
#   <prefix>/bin/featurecheck, <prefix>/bin/hotfixcheck          people run these
#   <prefix>/sbin/patchremove                                     root runs it
#   <prefix>/libexec/orrery-hotfix/patchapply                     an install package starts it
#   <prefix>/lib/libpatchremove.so.1 (+ .so link for -dev)        the exported removal
#   <prefix>/include/patchremove.h, <prefix>/lib/pkgconfig/patchremove.pc
#   <prefix>/lib/orrery-hotfix/outcomepane.bundle                 the result pane plug-in
#   <prefix>/share/man/man{1,3,7,8}, <prefix>/share/doc/orrery-hotfix
#
# Components: "runtime" (the deliverables, their pages and the guides), "dev" (header,
# pkg-config file, library link, libpatchremove(3)) and "simulator" (rcpsim, ignitor and
# installer-pane-host, for trying packages without the real platform). CPack makes one .deb
# per component and one .tar.gz of everything.

set(RCP_PACKAGE_NAME orrery-hotfix)
set(RCP_INSTALL_BINDIR bin)
set(RCP_INSTALL_SBINDIR sbin)
set(RCP_INSTALL_LIBDIR lib)
set(RCP_INSTALL_INCLUDEDIR include)
set(RCP_INSTALL_LIBEXECDIR libexec/${RCP_PACKAGE_NAME})
set(RCP_INSTALL_PLUGINDIR lib/${RCP_PACKAGE_NAME})
set(RCP_INSTALL_MANDIR share/man)
set(RCP_INSTALL_DOCDIR share/doc/${RCP_PACKAGE_NAME})

# ---- programs ---------------------------------------------------------------------------
foreach(program featurecheck hotfixcheck)
  if(TARGET ${program})
    install(TARGETS ${program} RUNTIME DESTINATION ${RCP_INSTALL_BINDIR} COMPONENT runtime)
  endif()
endforeach()
if(TARGET patchremove)
  install(TARGETS patchremove RUNTIME DESTINATION ${RCP_INSTALL_SBINDIR} COMPONENT runtime)
endif()
if(TARGET patchapply)
  install(TARGETS patchapply RUNTIME DESTINATION ${RCP_INSTALL_LIBEXECDIR} COMPONENT runtime)
endif()

# ---- libpatchremove ---------------------------------------------------------------------
if(TARGET patchremove_shared)
  # libpatchremove.so.1 -> libpatchremove.so.1.0.0; the soname changes only when one of the
  # three functions changes incompatibly.
  set_target_properties(patchremove_shared PROPERTIES VERSION ${PROJECT_VERSION} SOVERSION 1)
  install(TARGETS patchremove_shared
    LIBRARY DESTINATION ${RCP_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT dev)
  install(FILES ${CMAKE_SOURCE_DIR}/remove/patchremove.h
    DESTINATION ${RCP_INSTALL_INCLUDEDIR} COMPONENT dev)
  # The paths in the pkg-config file are relative to where the file lies, so the same file
  # serves every prefix (cmake --install --prefix, the packages' /usr, a scratch root).
  configure_file(${CMAKE_CURRENT_LIST_DIR}/patchremove.pc.in
    ${CMAKE_BINARY_DIR}/patchremove.pc @ONLY)
  install(FILES ${CMAKE_BINARY_DIR}/patchremove.pc
    DESTINATION ${RCP_INSTALL_LIBDIR}/pkgconfig COMPONENT dev)
endif()

# ---- outcomepane.bundle -----------------------------------------------------------------
if(TARGET outcomepane)
  set(bundle ${RCP_INSTALL_PLUGINDIR}/outcomepane.bundle/Contents)
  install(TARGETS outcomepane LIBRARY DESTINATION ${bundle}/MacOS COMPONENT runtime)
  install(FILES ${CMAKE_SOURCE_DIR}/resultpane/Info.plist DESTINATION ${bundle}
    COMPONENT runtime)
  file(GLOB tables CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/resultpane/*.lproj/Provision.strings)
  foreach(table ${tables})
    get_filename_component(language_dir ${table} DIRECTORY)
    get_filename_component(language_dir ${language_dir} NAME)
    install(FILES ${table} DESTINATION ${bundle}/Resources/${language_dir} COMPONENT runtime)
  endforeach()
endif()

# ---- manual pages and guides ------------------------------------------------------------
file(GLOB manual_pages CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/man/*.[1-8])
foreach(page ${manual_pages})
  get_filename_component(name ${page} NAME)
  string(REGEX REPLACE "^.*\\.([1-8])$" "\\1" section ${name})
  string(REGEX REPLACE "\\.[1-8]$" "" program ${name})
  # A page of a program this tree does not build is not installed.
  if(section MATCHES "^[18]$" AND NOT TARGET ${program})
    continue()
  endif()
  set(component runtime)
  if(section STREQUAL "3")
    set(component dev)
  endif()
  install(FILES ${page} DESTINATION ${RCP_INSTALL_MANDIR}/man${section} COMPONENT ${component})
endforeach()

file(GLOB guides CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/docs/*.md)
file(GLOB examples CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/docs/examples/*.sh)
# The fleet guide and its examples are built on hotfixcheck; they come with it.
if(NOT TARGET hotfixcheck)
  list(FILTER guides EXCLUDE REGEX "/fleet-[^/]*$")
  list(FILTER examples EXCLUDE REGEX "/fleet-[^/]*$")
endif()
install(FILES ${guides} DESTINATION ${RCP_INSTALL_DOCDIR} COMPONENT runtime)
install(PROGRAMS ${examples} DESTINATION ${RCP_INSTALL_DOCDIR}/examples COMPONENT runtime)

# ---- the simulated platform ---------------------------------------------------------------
# rcpsim finds the launcher it copies into sample products beside itself (the build tree) or
# in the libexec directory (an installed tree); ignitor is not a command for people.
if(TARGET rcpsim AND TARGET ignitor)
  file(RELATIVE_PATH libexec_from_bin /${RCP_INSTALL_BINDIR} /${RCP_INSTALL_LIBEXECDIR})
  target_compile_definitions(rcpsim_core PRIVATE RCP_LIBEXEC_FROM_BIN="${libexec_from_bin}")
  install(TARGETS rcpsim RUNTIME DESTINATION ${RCP_INSTALL_BINDIR} COMPONENT simulator)
  install(TARGETS ignitor RUNTIME DESTINATION ${RCP_INSTALL_LIBEXECDIR} COMPONENT simulator)
endif()
if(TARGET installer-pane-host)
  install(TARGETS installer-pane-host RUNTIME DESTINATION ${RCP_INSTALL_BINDIR}
    COMPONENT simulator)
endif()

# ---- packages ---------------------------------------------------------------------------
set(CPACK_PACKAGE_NAME ${RCP_PACKAGE_NAME})
set(CPACK_PACKAGE_VENDOR "Orrery hotfix tools")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Apply and remove hotfixes of the Orrery desktop product")
set(CPACK_PACKAGE_CONTACT "Orrery hotfix tools <hotfix-tools@orrery.invalid>")
set(CPACK_GENERATOR DEB TGZ)
set(CPACK_SOURCE_GENERATOR "")
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)
set(CPACK_COMPONENTS_ALL runtime dev simulator)
set(CPACK_STRIP_FILES ON)

# One .deb per component; the .tar.gz holds all three.
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_ARCHIVE_COMPONENT_INSTALL OFF)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME ${RCP_PACKAGE_NAME})
set(CPACK_DEBIAN_DEV_PACKAGE_NAME ${RCP_PACKAGE_NAME}-dev)
set(CPACK_DEBIAN_SIMULATOR_PACKAGE_NAME ${RCP_PACKAGE_NAME}-simulator)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(runtime_libraries "libc6, libstdc++6, libgcc-s1, libplist3, libpugixml1v5")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_DEPENDS ${runtime_libraries})
set(CPACK_DEBIAN_SIMULATOR_PACKAGE_DEPENDS ${runtime_libraries})
set(CPACK_COMPONENT_DEV_DEPENDS runtime)

set(CPACK_COMPONENT_RUNTIME_DESCRIPTION
  "patchapply, patchremove, libpatchremove, featurecheck and the outcomepane plug-in")
set(CPACK_COMPONENT_DEV_DESCRIPTION
  "Header, pkg-config file and link of libpatchremove, for programs that remove hotfixes")
set(CPACK_COMPONENT_SIMULATOR_DESCRIPTION
  "A simulated platform launcher, a generator of sample products and hotfix packages, and an installer stand-in that shows plug-in panes")

include(CPack)
