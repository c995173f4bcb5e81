# Read by cpack before it makes the packages (CPACK_PROJECT_CONFIG_FILE): the dependencies of
# the library package, as dpkg-shlibdeps reads them from the built library. dpkg-shlibdeps
# wants a debian/control in its working directory; an empty one does.
if(CPACK_GENERATOR STREQUAL "DEB" AND CPACK_RCP_LIBRARY_FILE)
  set(work ${CPACK_PACKAGE_DIRECTORY}/_CPack_Packages/shlibdeps)
  file(MAKE_DIRECTORY ${work}/debian)
  file(TOUCH ${work}/debian/control)
  execute_process(COMMAND dpkg-shlibdeps -O ${CPACK_RCP_LIBRARY_FILE}
    WORKING_DIRECTORY ${work} OUTPUT_VARIABLE substitution ERROR_VARIABLE warnings
    OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
  string(REGEX REPLACE "^shlibs:Depends=" "" CPACK_DEBIAN_LIBRARY_PACKAGE_DEPENDS
    "${substitution}")
  file(REMOVE_RECURSE ${work})
endif()
