# Install rules and package settings. Windows: kembu.exe and a README.txt (the
# manual page as text, CR LF line ends), zipped flat. Linux: bin/kembu, a
# gzipped manual page and the files Debian wants in the doc directory, as a
# .deb and a .tar.gz.
set(KEMBU_PACKAGE_MAINTAINER "kembu developers <kembu@example.org>"
  CACHE STRING "Maintainer named in the Debian package and its changelog")

# The manual page names the version in its .TH line; the project's must match.
set(KEMBU_MAN_PAGE "${PROJECT_SOURCE_DIR}/doc/kembu.1")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${KEMBU_MAN_PAGE}")
file(STRINGS "${KEMBU_MAN_PAGE}" kembu_man_title REGEX "^\\.TH ")
if(NOT kembu_man_title MATCHES "^\\.TH KEMBU 1 [0-9-]+ \"kembu ${PROJECT_VERSION}\" ")
  message(FATAL_ERROR "doc/kembu.1 must name version ${PROJECT_VERSION} in its .TH line: "
    "${kembu_man_title}")
endif()

set(CPACK_PACKAGE_VENDOR "the kembu developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "keep a firmware image's header block across unpack and repack")
set(CPACK_PACKAGE_DESCRIPTION
  "kembu saves the device-specific part of the 512-byte header block of a\n"
  "firmware image before the image is unpacked, and puts it back, with a new\n"
  "checksum, after the image has been packed again.")
string(CONCAT CPACK_PACKAGE_DESCRIPTION ${CPACK_PACKAGE_DESCRIPTION})
set(CPACK_RESOURCE_FILE_LICENSE "${PROJECT_SOURCE_DIR}/LICENSE")
# kembu.exe is linked stripped: strip would only stamp its header with a time
# and a checksum, so that the zipped program were not the tested one.
if(NOT WIN32)
  set(CPACK_STRIP_FILES ON)
endif()
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
  OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_SOURCE_GENERATOR TGZ)
set(CPACK_SOURCE_IGNORE_FILES "/\\\\.git" "/build/" "/demo/")

if(WIN32)
  # The zip holds the program and its notes side by side, no folder around
  # them, and is named after the target.
  set(KEMBU_PACKAGE_PLATFORM ${KEMBU_TARGET})
  # README.txt is the manual page as plain text, made at build time. Without
  # groff the program still builds, but installing and packing fail for want
  # of README.txt rather than make a zip without it.
  find_program(KEMBU_GROFF groff)
  if(KEMBU_GROFF)
    set(kembu_readme_script "${PROJECT_SOURCE_DIR}/packaging/readme-txt.cmake")
    add_custom_command(OUTPUT "${PROJECT_BINARY_DIR}/README.txt"
      COMMAND ${CMAKE_COMMAND} -DGROFF=${KEMBU_GROFF} -DMAN_PAGE=${KEMBU_MAN_PAGE}
        -DLICENSE=${PROJECT_SOURCE_DIR}/LICENSE -DOUTPUT=${PROJECT_BINARY_DIR}/README.txt
        -P ${kembu_readme_script}
      DEPENDS "${KEMBU_MAN_PAGE}" "${PROJECT_SOURCE_DIR}/LICENSE" "${kembu_readme_script}"
      VERBATIM)
    add_custom_target(kembu_readme ALL DEPENDS "${PROJECT_BINARY_DIR}/README.txt")
  else()
    message(STATUS "No groff, so no README.txt: kembu builds, but cannot be installed "
      "or packed (Debian: apt-get install groff-base)")
  endif()
  install(TARGETS kembu RUNTIME DESTINATION .)
  install(FILES "${PROJECT_BINARY_DIR}/README.txt" DESTINATION .)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
else()
  include(GNUInstallDirs)
  string(TOLOWER "linux-${CMAKE_SYSTEM_PROCESSOR}" KEMBU_PACKAGE_PLATFORM)
  install(TARGETS kembu RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

  # Debian wants manual pages and changelogs compressed with gzip -9n (no
  # name, no time stamp), so that builds are reproducible.
  find_program(KEMBU_GZIP gzip)
  configure_file(packaging/debian/changelog.in changelog @ONLY)
  if(KEMBU_GZIP)
    set(KEMBU_PACKAGE_DOCS "${PROJECT_BINARY_DIR}/pkgdoc")
    add_custom_command(
      OUTPUT "${KEMBU_PACKAGE_DOCS}/kembu.1.gz" "${KEMBU_PACKAGE_DOCS}/changelog.gz"
      COMMAND ${CMAKE_COMMAND} -E make_directory "${KEMBU_PACKAGE_DOCS}"
      COMMAND ${CMAKE_COMMAND} -E copy "${KEMBU_MAN_PAGE}" "${PROJECT_BINARY_DIR}/changelog"
        "${KEMBU_PACKAGE_DOCS}"
      COMMAND ${KEMBU_GZIP} -9nf "${KEMBU_PACKAGE_DOCS}/kembu.1" "${KEMBU_PACKAGE_DOCS}/changelog"
      DEPENDS "${KEMBU_MAN_PAGE}" "${PROJECT_BINARY_DIR}/changelog"
      VERBATIM)
    add_custom_target(kembu_docs ALL
      DEPENDS "${KEMBU_PACKAGE_DOCS}/kembu.1.gz" "${KEMBU_PACKAGE_DOCS}/changelog.gz")
    install(FILES "${KEMBU_PACKAGE_DOCS}/kembu.1.gz" DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
    install(FILES "${KEMBU_PACKAGE_DOCS}/changelog.gz" DESTINATION ${CMAKE_INSTALL_DOCDIR})
  else()
    install(FILES "${KEMBU_MAN_PAGE}" DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
    install(FILES "${PROJECT_BINARY_DIR}/changelog" DESTINATION ${CMAKE_INSTALL_DOCDIR})
  endif()

  # Debian's copyright file: the license under a machine-readable heading.
  file(STRINGS "${PROJECT_SOURCE_DIR}/LICENSE" KEMBU_LICENSE_LINES)
  set(KEMBU_COPYRIGHT
    "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n"
    "Upstream-Name: kembu\n\nFiles: *\nCopyright: 2026 the kembu developers\nLicense: Expat\n")
  string(CONCAT KEMBU_COPYRIGHT ${KEMBU_COPYRIGHT})
  foreach(line IN LISTS KEMBU_LICENSE_LINES)
    if(line STREQUAL "")
      string(APPEND KEMBU_COPYRIGHT " .\n")
    else()
      string(APPEND KEMBU_COPYRIGHT " ${line}\n")
    endif()
  endforeach()
  file(WRITE "${PROJECT_BINARY_DIR}/copyright" "${KEMBU_COPYRIGHT}")
  install(FILES "${PROJECT_BINARY_DIR}/copyright" DESTINATION ${CMAKE_INSTALL_DOCDIR})

  set(CPACK_GENERATOR DEB TGZ)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${KEMBU_PACKAGE_MAINTAINER}")
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  if(KEMBU_STATIC_LINUX)
    # The program needs no library, so the package depends on nothing and
    # installs on every Debian and Ubuntu release. Its architecture is the
    # target's, not the build machine's.
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS OFF)
    set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${kembu_debian_${KEMBU_TARGET}})
    # lintian flags every static program; here static is the point. The
    # override goes into the .deb only (see packaging/cpack-project.cmake).
    install(FILES packaging/debian/lintian-overrides DESTINATION share/lintian/overrides
      RENAME kembu COMPONENT debian)
    set(CPACK_PROJECT_CONFIG_FILE "${PROJECT_SOURCE_DIR}/packaging/cpack-project.cmake")
    set(CPACK_KEMBU_BINARY_DIR "${PROJECT_BINARY_DIR}")
  else()
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  endif()
endif()
set(CPACK_PACKAGE_FILE_NAME "kembu-${PROJECT_VERSION}-${KEMBU_PACKAGE_PLATFORM}")
