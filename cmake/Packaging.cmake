# Packages made by CPack from the install components: on Linux three Debian
# packages (cpack -G DEB, from a build configured with
# -DCMAKE_INSTALL_PREFIX=/usr), on Windows one zip of the whole tree.
set(DIROV_PACKAGE_CONTACT "dirov410 developers <dirov410@localhost>"
  CACHE STRING "Maintainer named in the packages")
set(CPACK_PACKAGE_NAME dirov410)
set(CPACK_PACKAGE_VENDOR dirov410)
set(CPACK_PACKAGE_CONTACT ${DIROV_PACKAGE_CONTACT})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY ${PROJECT_DESCRIPTION})
set(CPACK_RESOURCE_FILE_README ${CMAKE_SOURCE_DIR}/README.md)
set(CPACK_COMPONENTS_ALL runtime development tools)
set(CPACK_STRIP_FILES ON)
set(CPACK_COMPONENT_DEVELOPMENT_DEPENDS runtime)
set(CPACK_COMPONENT_TOOLS_DEPENDS runtime)

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_ARCHIVE_COMPONENT_INSTALL OFF)
  set(CPACK_PACKAGE_FILE_NAME dirov410-${PROJECT_VERSION}-win64)

else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEB_COMPONENT_INSTALL ON)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${DIROV_PACKAGE_CONTACT})
  # Debian names a library package after its soname: libdirov410.so.0.1 is
  # in libdirov410-0.1, so two ABIs can be installed side by side.
  set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME libdirov410-${DIROV_SOVERSION})
  set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME libdirov410-dev)
  set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME dirovctl)
  set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
  set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
  set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION electronics)
  # Each package's description starts with its own summary line. CPack puts
  # CPACK_PACKAGE_DESCRIPTION_SUMMARY in front of every one unless that is
  # its default, so the default it gets here.
  set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${CMAKE_PROJECT_NAME} built using CMake")
  set(CPACK_DEBIAN_RUNTIME_DESCRIPTION "${PROJECT_DESCRIPTION}
Opens the board, sends it text commands, captures its data stream without
copying and upgrades its firmware, through a stable C ABI; a simulated board
built into the library stands in for hardware.")
  set(CPACK_DEBIAN_DEVELOPMENT_DESCRIPTION "${PROJECT_DESCRIPTION} (development files)
Headers, the CMake package (find_package(dirov410)), the pkg-config file,
documentation and examples.")
  set(CPACK_DEBIAN_TOOLS_DESCRIPTION "Command-line tool for the dirov410 USB interface board
dirovctl lists, opens and drives boards, captures their stream, makes and
checks DFU files and upgrades firmware; with --sim it drives a simulated
board. Comes with the udev rule that lets non-root users open the board.")
  # Library dependencies from dpkg-shlibdeps; the library's own package
  # carries a shlibs file and the ldconfig trigger.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_BINARY_DIR})
  set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
  set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY "=")
  set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
  set(CPACK_DEBIAN_TOOLS_PACKAGE_RECOMMENDS "udev")
  set(CPACK_DEBIAN_TOOLS_PACKAGE_CONTROL_EXTRA ${CMAKE_SOURCE_DIR}/cmake/debian/postinst)
  set(CPACK_DEBIAN_TOOLS_PACKAGE_CONTROL_STRICT_PERMISSION ON)
endif()
include(CPack)
