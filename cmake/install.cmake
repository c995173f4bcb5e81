# The installed layout of the hotfix tools, with the paths of GNUInstallDirs:
#
#   <prefix>/bin/featurecheck, <prefix>/bin/hotfixcheck          people run these
#   <prefix>/sbin/patchremove                                     root runs it
#   <prefix>/libexec/orrery-hotfix/patchapply                     an install package starts it
#   <prefix>/<libdir>/libpatchremove.so.1 (+ .so link for -dev)   the exported removal
#   <prefix>/include/patchremove.h, <prefix>/<libdir>/pkgconfig/patchremove.pc
#   <prefix>/lib/orrery-hotfix/outcomepane.bundle                 the result pane plug-in
#   <prefix>/share/man/man{1,3,7,8}/*.gz, <prefix>/share/doc/<package>
#   <prefix>/share/bash-completion/completions/<program>
#
# <libdir> is lib/<multiarch triplet> on Debian and its derivatives (lib/x86_64-linux-gnu),
# under any prefix, as the loader and pkg-config search there; lib elsewhere.
#
# Components, one Debian package each (cmake/packages.cmake):
#   runtime    the deliverables, their pages, the guides and completions  orrery-hotfix
#   library    libpatchremove.so.1                                         libpatchremove1
#   dev        header, pkg-config file, library link, libpatchremove(3)   libpatchremove-dev
#   simulator  rcpsim, ignitor and installer-pane-host, for trying         orrery-hotfix-simulator
#              packages without the real platform
#   ansible    the Ansible collection orrery.hotfix                        orrery-hotfix-ansible
# Each component carries the copyright file and the changelog in its package's doc directory.

# The package names and installation directories: cmake/install_dirs.cmake.
set(RCP_COMPONENT_PACKAGE_runtime ${RCP_PACKAGE_NAME})
set(RCP_COMPONENT_PACKAGE_library ${RCP_LIBRARY_PACKAGE})
set(RCP_COMPONENT_PACKAGE_dev ${RCP_DEV_PACKAGE})
set(RCP_COMPONENT_PACKAGE_simulator ${RCP_SIMULATOR_PACKAGE})
set(RCP_COMPONENT_PACKAGE_ansible ${RCP_ANSIBLE_PACKAGE})

# ---- programs ---------------------------------------------------------------------------
# Each program that people run comes with its bash completion, completions/<program>.
set(installed_programs "")
macro(rcp_install_program program destination component)
  if(TARGET ${program})
    install(TARGETS ${program} RUNTIME DESTINATION ${destination} COMPONENT ${component})
    list(APPEND installed_programs ${program})
    set(component_of_${program} ${component})
    if(EXISTS ${CMAKE_SOURCE_DIR}/completions/${program})
      install(FILES ${CMAKE_SOURCE_DIR}/completions/${program}
        DESTINATION ${RCP_INSTALL_COMPLETIONDIR} COMPONENT ${component})
    endif()
  endif()
endmacro()
rcp_install_program(featurecheck ${CMAKE_INSTALL_BINDIR} runtime)
rcp_install_program(hotfixcheck ${CMAKE_INSTALL_BINDIR} runtime)
rcp_install_program(patchremove ${CMAKE_INSTALL_SBINDIR} runtime)
rcp_install_program(patchapply ${RCP_INSTALL_LIBEXECDIR} runtime)

# ---- libpatchremove ---------------------------------------------------------------------
if(TARGET patchremove_shared)
  # libpatchremove.so.1 -> libpatchremove.so.1.0.0; the soname changes only when one of the
  # three functions changes incompatibly.
  set_target_properties(patchremove_shared PROPERTIES
    VERSION ${PROJECT_VERSION} SOVERSION ${RCP_SOVERSION})
  install(TARGETS patchremove_shared
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT library NAMELINK_COMPONENT dev)
  install(FILES ${CMAKE_SOURCE_DIR}/remove/patchremove.h
    DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT dev)
  # The paths in the pkg-config file are relative to where the file lies, so the same file
  # serves every prefix (cmake --install --prefix, the packages' /usr, a scratch root).
  file(RELATIVE_PATH RCP_PC_PREFIX_FROM_PCFILEDIR /${CMAKE_INSTALL_LIBDIR}/pkgconfig /)
  string(REGEX REPLACE "/$" "" RCP_PC_PREFIX_FROM_PCFILEDIR ${RCP_PC_PREFIX_FROM_PCFILEDIR})
  configure_file(${CMAKE_CURRENT_LIST_DIR}/patchremove.pc.in
    ${CMAKE_BINARY_DIR}/patchremove.pc @ONLY)
  install(FILES ${CMAKE_BINARY_DIR}/patchremove.pc
    DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT dev)
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

# ---- the simulated platform ---------------------------------------------------------------
# rcpsim finds the launcher it copies into sample products beside itself (the build tree) or
# in the libexec directory (an installed tree, foundation/install_paths.h); ignitor is not a
# command for people.
if(TARGET rcpsim AND TARGET ignitor)
  rcp_install_program(rcpsim ${CMAKE_INSTALL_BINDIR} simulator)
  install(TARGETS ignitor RUNTIME DESTINATION ${RCP_INSTALL_LIBEXECDIR} COMPONENT simulator)
endif()
rcp_install_program(installer-pane-host ${CMAKE_INSTALL_BINDIR} simulator)

# ---- the Ansible collection ----------------------------------------------------------------
# The collection's files as they are (no Ansible is needed to build), where ansible-galaxy and
# ansible-doc look for installed collections under the /usr prefix; its README in the doc
# directory, where Debian wants documentation.
install(DIRECTORY ${CMAKE_SOURCE_DIR}/ansible/
  DESTINATION ${CMAKE_INSTALL_DATADIR}/ansible/collections/ansible_collections/orrery/hotfix
  COMPONENT ansible PATTERN __pycache__ EXCLUDE PATTERN README.md EXCLUDE)
install(FILES ${CMAKE_SOURCE_DIR}/ansible/README.md
  DESTINATION ${RCP_INSTALL_DOCROOT}/${RCP_ANSIBLE_PACKAGE} COMPONENT ansible)

# ---- manual pages -------------------------------------------------------------------------
# Installed compressed, as gzip -9n makes them (no name or time in the header), built with
# the programs into <build>/man.
file(GLOB manual_pages CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/man/*.[1-8])
set(compressed_pages "")
foreach(page ${manual_pages})
  get_filename_component(name ${page} NAME)
  string(REGEX REPLACE "^.*\\.([1-8])$" "\\1" section ${name})
  string(REGEX REPLACE "\\.[1-8]$" "" program ${name})
  # A page of a program this tree does not build is not installed.
  if(section MATCHES "^[18]$" AND NOT program IN_LIST installed_programs)
    continue()
  endif()
  set(component runtime)
  if(section STREQUAL "3")
    set(component dev)
  elseif(program IN_LIST installed_programs)
    set(component ${component_of_${program}})
  endif()
  set(compressed ${CMAKE_BINARY_DIR}/man/${name}.gz)
  add_custom_command(OUTPUT ${compressed}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
    COMMAND gzip -9nc ${page} > ${compressed}
    DEPENDS ${page} VERBATIM)
  list(APPEND compressed_pages ${compressed})
  install(FILES ${compressed} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section}
    COMPONENT ${component})
endforeach()
add_custom_target(manual_pages ALL DEPENDS ${compressed_pages})

# ---- guides, copyright and changelog ------------------------------------------------------
# Every guide of docs/ (the guides for package authors, administrators and fleets, and the
# guide to the target system) with the worked examples, in the package's doc directory.
file(GLOB guides CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/docs/*.md)
file(GLOB examples CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/docs/examples/*.sh)
file(GLOB playbooks CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/docs/examples/*.yml)
# The fleet guide and its examples are built on hotfixcheck; they come with it.
if(NOT TARGET hotfixcheck)
  list(FILTER guides EXCLUDE REGEX "/fleet-[^/]*$")
  list(FILTER examples EXCLUDE REGEX "/fleet-[^/]*$")
  list(FILTER playbooks EXCLUDE REGEX "/fleet-[^/]*$")
endif()
install(FILES ${guides} DESTINATION ${RCP_INSTALL_DOCDIR} COMPONENT runtime)
install(PROGRAMS ${examples} DESTINATION ${RCP_INSTALL_DOCDIR}/examples COMPONENT runtime)
install(FILES ${playbooks} DESTINATION ${RCP_INSTALL_DOCDIR}/examples COMPONENT runtime)
# The JSON Schemas (draft 2020-12) of hotfixcheck's --json documents, one per command.
if(TARGET hotfixcheck)
  # hotfixcheck --help names them under this prefix when it does not run from an installed
  # tree.
  target_compile_definitions(hotfixcheck_lib PRIVATE
    RCP_SCHEMA_DIR="${CMAKE_INSTALL_FULL_DATADIR}/${RCP_PACKAGE_NAME}/schemas")
  file(GLOB schemas CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/schemas/*.schema.json)
  install(FILES ${schemas} DESTINATION ${CMAKE_INSTALL_DATADIR}/${RCP_PACKAGE_NAME}/schemas
    COMPONENT runtime)
endif()

# The copyright file in Debian's machine-readable form, with the licence text of LICENSE.
file(STRINGS ${CMAKE_SOURCE_DIR}/LICENSE license_lines)
set(RCP_LICENSE_TEXT "")
foreach(line IN LISTS license_lines)
  if(line MATCHES "^Copyright \\(c\\) (.*)$")
    set(RCP_COPYRIGHT ${CMAKE_MATCH_1})
  elseif(RCP_COPYRIGHT)
    string(APPEND RCP_LICENSE_TEXT " ${line}\n")
  endif()
endforeach()
string(REGEX REPLACE "^ \n" "" RCP_LICENSE_TEXT "${RCP_LICENSE_TEXT}")
string(REGEX REPLACE "\n \n" "\n .\n" RCP_LICENSE_TEXT "${RCP_LICENSE_TEXT}")
string(REGEX REPLACE "\n$" "" RCP_LICENSE_TEXT "${RCP_LICENSE_TEXT}")
set(CPACK_PACKAGE_CONTACT "Orrery hotfix tools <hotfix-tools@orrery.invalid>")
configure_file(${CMAKE_CURRENT_LIST_DIR}/debian/copyright.in
  ${CMAKE_BINARY_DIR}/debian/copyright @ONLY)

set(changelog ${CMAKE_BINARY_DIR}/debian/changelog.gz)
add_custom_command(OUTPUT ${changelog}
  COMMAND ${CMAKE_COMMAND} -DNEWS=${CMAKE_SOURCE_DIR}/NEWS -DSOURCE=${RCP_PACKAGE_NAME}
    -DMAINTAINER=${CPACK_PACKAGE_CONTACT} -DOUTPUT=${changelog}
    -P ${CMAKE_CURRENT_LIST_DIR}/debian_changelog.cmake
  DEPENDS ${CMAKE_SOURCE_DIR}/NEWS ${CMAKE_CURRENT_LIST_DIR}/debian_changelog.cmake VERBATIM)
add_custom_target(changelog ALL DEPENDS ${changelog})

# What lintian reports on purpose, each with its reason (cmake/debian/*.lintian-overrides).
install(FILES ${CMAKE_CURRENT_LIST_DIR}/debian/orrery-hotfix.lintian-overrides
  DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides RENAME ${RCP_PACKAGE_NAME}
  COMPONENT runtime)

foreach(component runtime library dev simulator ansible)
  install(FILES ${CMAKE_BINARY_DIR}/debian/copyright ${changelog}
    DESTINATION ${RCP_INSTALL_DOCROOT}/${RCP_COMPONENT_PACKAGE_${component}}
    COMPONENT ${component})
endforeach()

include(${CMAKE_CURRENT_LIST_DIR}/packages.cmake)
