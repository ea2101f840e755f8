# Installation, in three components that are also the Debian packages:
#   runtime      the shared library (the DLL on Windows)
#   development  headers, import libraries, CMake package, pkg-config file,
#                documentation and examples
#   tools        dirovctl, its sample firmware, man page and bash completion,
#                and the udev rule
# CPack makes the packages: `cpack -G DEB` in a build configured with
# -DCMAKE_INSTALL_PREFIX=/usr, and a ZIP of the whole tree on Windows.
include(CMakePackageConfigHelpers)

install(TARGETS dirov410 EXPORT dirov410Targets
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT development
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT development
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES include/dirov410.h include/dirov410_sim.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT development)
install(EXPORT dirov410Targets NAMESPACE dirov410::
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/dirov410 COMPONENT development)
configure_package_config_file(cmake/dirov410Config.cmake.in
  ${CMAKE_BINARY_DIR}/dirov410Config.cmake
  INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/dirov410)
# While the major version is 0 every minor version may break the API.
if(PROJECT_VERSION_MAJOR EQUAL 0)
  set(DIROV_COMPATIBILITY SameMinorVersion)
else()
  set(DIROV_COMPATIBILITY SameMajorVersion)
endif()
write_basic_package_version_file(${CMAKE_BINARY_DIR}/dirov410ConfigVersion.cmake
  COMPATIBILITY ${DIROV_COMPATIBILITY})
install(FILES ${CMAKE_BINARY_DIR}/dirov410Config.cmake ${CMAKE_BINARY_DIR}/dirov410ConfigVersion.cmake
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/dirov410 COMPONENT development)
# The pkg-config file names the prefix relative to where it lies, so the
# installed tree can move.
if(IS_ABSOLUTE ${CMAKE_INSTALL_LIBDIR})
  set(DIROV_PC_PREFIX ${CMAKE_INSTALL_PREFIX})
else()
  file(RELATIVE_PATH up /root/${CMAKE_INSTALL_LIBDIR}/pkgconfig /root)
  set(DIROV_PC_PREFIX "\${pcfiledir}/${up}")
endif()
foreach(dir LIBDIR INCLUDEDIR)
  if(IS_ABSOLUTE ${CMAKE_INSTALL_${dir}})
    set(DIROV_PC_${dir} ${CMAKE_INSTALL_${dir}})
  else()
    set(DIROV_PC_${dir} "\${prefix}/${CMAKE_INSTALL_${dir}}")
  endif()
endforeach()
configure_file(cmake/dirov410.pc.in ${CMAKE_BINARY_DIR}/dirov410.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/dirov410.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT development)

# Documentation and examples. The Windows zip has the README at its top.
if(WIN32)
  install(FILES ${DIROV_EXPORT_MAP} $<TARGET_FILE_DIR:dirov410>/dirov410.lib
    DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT development)
  install(FILES README.md DESTINATION . COMPONENT development)
else()
  install(FILES README.md DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT development)
endif()
# The reference's sources (Doxyfile.in, *.dox) are not documentation themselves.
install(DIRECTORY docs/ DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT development
  PATTERN Doxyfile.in EXCLUDE PATTERN *.dox EXCLUDE)
install(DIRECTORY examples DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT development
  PATTERN __pycache__ EXCLUDE)

if(NOT TARGET dirovctl OR WIN32)
  return()
endif()

# udev rule: one line per distinct vendor:product pair of the two faces.
string(TOLOWER "${DIROV_USB_ID_MAIN}" main_id)
string(TOLOWER "${DIROV_USB_ID_BOOTLOADER}" bootloader_id)
set(main_faces "main firmware")
if(main_id STREQUAL bootloader_id)
  set(main_faces "main firmware and bootloader")
endif()
set(bootloader_faces "bootloader")
set(DIROV_UDEV_LINES "")
foreach(face main bootloader)
  string(TOUPPER ${face} name)
  if(NOT ${face}_id MATCHES "^([0-9a-f][0-9a-f][0-9a-f][0-9a-f]):([0-9a-f][0-9a-f][0-9a-f][0-9a-f])$")
    message(FATAL_ERROR "DIROV_USB_ID_${name}: '${DIROV_USB_ID_${name}}' is not vvvv:pppp (hex)")
  endif()
  if(face STREQUAL bootloader AND main_id STREQUAL bootloader_id)
    continue()
  endif()
  string(APPEND DIROV_UDEV_LINES "# ${${face}_faces}\n"
    "SUBSYSTEM==\"usb\", ENV{DEVTYPE}==\"usb_device\", ATTR{idVendor}==\"${CMAKE_MATCH_1}\", "
    "ATTR{idProduct}==\"${CMAKE_MATCH_2}\", MODE=\"0660\", GROUP=\"plugdev\", TAG+=\"uaccess\"\n")
endforeach()
string(STRIP "${DIROV_UDEV_LINES}" DIROV_UDEV_LINES)
configure_file(udev/70-dirov410.rules.in ${CMAKE_BINARY_DIR}/udev/70-dirov410.rules @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/udev/70-dirov410.rules
  DESTINATION ${DIROV_UDEV_RULES_DIR} COMPONENT tools)
# udev reads its rules only from a few system folders: an install elsewhere
# says so and how to put the rule where udev looks.
install(CODE "
  set(dir \"${DIROV_UDEV_RULES_DIR}\")
  if(NOT IS_ABSOLUTE \"\${dir}\")
    set(dir \"\${CMAKE_INSTALL_PREFIX}/\${dir}\")
  endif()
  if(NOT dir MATCHES \"^(/usr)?/lib/udev/rules.d/?$|^/etc/udev/rules.d/?$\")
    message(NOTICE \"udev does not read \${dir}: to let non-root users open the board, run\\n\"
      \"  sudo cp \$ENV{DESTDIR}\${dir}/70-dirov410.rules /etc/udev/rules.d/ && \"
      \"sudo udevadm control --reload-rules && sudo udevadm trigger\")
  endif()" COMPONENT tools)

# Man page, made by help2man from the tool's own help; not in a cross build
# (the tool does not run here) nor under sanitizers.
find_program(DIROV_HELP2MAN help2man)
if(DIROV_HELP2MAN AND NOT CMAKE_CROSSCOMPILING AND NOT DIROV_SANITIZE AND NOT DIROV_BUILD_FUZZ)
  add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/man/dirovctl.1
    COMMAND ${CMAKE_COMMAND} -DTOOL=$<TARGET_FILE:dirovctl> -DHELP2MAN=${DIROV_HELP2MAN}
      -DINCLUDE=${CMAKE_SOURCE_DIR}/cmake/dirovctl.h2m -DOUT=${CMAKE_BINARY_DIR}/man/dirovctl.1
      -P ${CMAKE_SOURCE_DIR}/cmake/DirovctlMan.cmake
    DEPENDS dirovctl cmake/dirovctl.h2m cmake/DirovctlMan.cmake
    COMMENT "Writing the dirovctl(1) man page" VERBATIM)
  add_custom_target(dirovctl_man ALL DEPENDS ${CMAKE_BINARY_DIR}/man/dirovctl.1)
  install(FILES ${CMAKE_BINARY_DIR}/man/dirovctl.1
    DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT tools)
else()
  message(STATUS "help2man not found (or cross build): no dirovctl(1) man page")
endif()

# Bash completion, where bash-completion looks for it under this prefix.
set(DIROV_BASH_COMPLETION_DIR ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)
find_program(DIROV_PKG_CONFIG pkg-config)
if(DIROV_PKG_CONFIG)
  execute_process(COMMAND ${DIROV_PKG_CONFIG} --define-variable=prefix=${CMAKE_INSTALL_PREFIX}
      --variable=completionsdir bash-completion
    OUTPUT_VARIABLE dir OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE rc ERROR_QUIET)
  if(rc EQUAL 0 AND dir MATCHES "^${CMAKE_INSTALL_PREFIX}/(.+)")
    set(DIROV_BASH_COMPLETION_DIR ${CMAKE_MATCH_1})
  endif()
endif()
install(FILES completion/dirovctl.bash DESTINATION ${DIROV_BASH_COMPLETION_DIR}
  RENAME dirovctl COMPONENT tools)
