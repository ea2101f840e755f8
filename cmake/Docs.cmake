# The API reference (Doxygen): `ninja docs` writes it to docs/html in the
# build folder and fails on any undocumented export or documentation error.
# -DDIROV_BUILD_DOCS=ON builds it with everything else and installs it with
# the development component (share/doc/dirov410/html).
find_package(Doxygen QUIET)
option(DIROV_BUILD_DOCS "Build the API reference with the default target and install it" OFF)
if(NOT DOXYGEN_FOUND)
  if(DIROV_BUILD_DOCS)
    message(FATAL_ERROR "DIROV_BUILD_DOCS needs Doxygen (Debian: doxygen)")
  endif()
  message(STATUS "Doxygen not found: no docs target")
  return()
endif()

set(DIROV_DOCS_DIR ${CMAKE_BINARY_DIR}/docs)
set(DIROV_DOCS_SOURCES
  ${CMAKE_SOURCE_DIR}/include/dirov410.h ${CMAKE_SOURCE_DIR}/include/dirov410_sim.h
  ${CMAKE_SOURCE_DIR}/docs/api.dox ${DIROV_DOCS_DIR}/board_commands.dox)
list(JOIN DIROV_DOCS_SOURCES " " DIROV_DOCS_INPUT)
configure_file(${CMAKE_SOURCE_DIR}/docs/Doxyfile.in ${DIROV_DOCS_DIR}/Doxyfile @ONLY)

if(DIROV_BUILD_DOCS)
  set(all ALL)
endif()
# A stamp, so the reference is written again only when its sources change;
# the old output goes first, so that nothing stale survives a rename.
add_custom_command(OUTPUT ${DIROV_DOCS_DIR}/html/index.html
  COMMAND ${CMAKE_COMMAND} -E rm -rf ${DIROV_DOCS_DIR}/html ${DIROV_DOCS_DIR}/xml
  COMMAND Doxygen::doxygen ${DIROV_DOCS_DIR}/Doxyfile
  COMMAND ${CMAKE_COMMAND} -DXML=${DIROV_DOCS_DIR}/xml
    "-DHEADERS=${CMAKE_SOURCE_DIR}/include/dirov410.h|${CMAKE_SOURCE_DIR}/include/dirov410_sim.h"
    -P ${CMAKE_SOURCE_DIR}/cmake/CheckDocs.cmake
  DEPENDS ${DIROV_DOCS_SOURCES} ${DIROV_DOCS_DIR}/Doxyfile ${CMAKE_SOURCE_DIR}/cmake/CheckDocs.cmake
  WORKING_DIRECTORY ${DIROV_DOCS_DIR}
  COMMENT "Writing the API reference (Doxygen)" VERBATIM)
add_custom_target(docs ${all} DEPENDS ${DIROV_DOCS_DIR}/html/index.html)

if(DIROV_BUILD_DOCS)
  install(DIRECTORY ${DIROV_DOCS_DIR}/html/ DESTINATION ${CMAKE_INSTALL_DOCDIR}/html
    COMPONENT development)
endif()
