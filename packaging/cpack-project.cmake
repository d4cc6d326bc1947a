# Read by cpack for each generator: the .deb gets every install rule, the
# .tar.gz only the default component, so Debian's lintian override stays out
# of it.
if(CPACK_GENERATOR STREQUAL "TGZ")
  set(CPACK_INSTALL_CMAKE_PROJECTS "${CPACK_KEMBU_BINARY_DIR};kembu;Unspecified;/")
endif()
