# Installs the build into a scratch prefix and moves the installed tree, which
# must not depend on where it was installed. There it builds and runs the
# example application through find_package and through pkg-config, checks
# the package's version compatibility, and runs the installed dirovctl.
set(scratch ${BUILD}/install-check)
set(prefix ${scratch}/moved)
file(REMOVE_RECURSE ${scratch})
unset(ENV{LD_LIBRARY_PATH})
macro(run)
  execute_process(COMMAND ${ARGV} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${ARGV} failed:\n${out}")
  endif()
endmacro()
macro(expect pattern)
  if(NOT out MATCHES "${pattern}")
    message(FATAL_ERROR "expected '${pattern}' in:\n${out}")
  endif()
endmacro()

run(${CMAKE_COMMAND} --install ${BUILD} --prefix ${scratch}/installed)
file(RENAME ${scratch}/installed ${prefix})
foreach(f include/dirov410.h include/dirov410_sim.h ${UDEV_DIR}/70-dirov410.rules
    share/dirov410/sample_firmware.elf)
  if(NOT EXISTS ${prefix}/${f})
    message(FATAL_ERROR "not installed: ${f}")
  endif()
endforeach()

# find_package
run(${CMAKE_COMMAND} -S ${SOURCE}/examples/hello -B ${scratch}/with-cmake -G Ninja
    -DCMAKE_PREFIX_PATH=${prefix})
run(${CMAKE_COMMAND} --build ${scratch}/with-cmake)

# pkg-config, with the library found where the file says it is
set(ENV{PKG_CONFIG_PATH} ${prefix}/${LIBDIR}/pkgconfig)
run(pkg-config --variable=libdir dirov410)
string(STRIP "${out}" libdir)
run(pkg-config --cflags --libs dirov410)
separate_arguments(flags UNIX_COMMAND "${out}")
run(${CC} ${SOURCE}/examples/hello/hello.c ${flags} -Wl,-rpath,${libdir} -o ${scratch}/hello)

foreach(exe ${scratch}/with-cmake/hello ${scratch}/hello ${prefix}/bin/dirovctl)
  run(ldd ${exe})
  expect("libdirov410[^\n]*=> ${prefix}/(bin/\\.\\./)?${LIBDIR}/")
endforeach()
foreach(exe ${scratch}/with-cmake/hello ${scratch}/hello)
  run(${exe})
  expect("Command is: SYS:VERSION")
endforeach()

run(${prefix}/bin/dirovctl --version)
expect("^dirovctl ${VERSION}\nlibdirov410 ${VERSION}\n$")
run(${prefix}/bin/dirovctl --sim tour --dir ${scratch}/tour)
expect("records from ${prefix}/share/dirov410/sample_firmware.elf")
expect("The tour passed every step.")

# While the major version is 0, an application built for an older minor
# version does not take this one.
string(REGEX MATCH "^([0-9]+)\\.([0-9]+)" _ ${VERSION})
set(cases "${CMAKE_MATCH_1}.${CMAKE_MATCH_2};TRUE")
if(CMAKE_MATCH_1 EQUAL 0 AND CMAKE_MATCH_2 GREATER 0)
  math(EXPR older "${CMAKE_MATCH_2} - 1")
  list(APPEND cases "0.${older}" FALSE)
endif()
while(cases)
  list(POP_FRONT cases PACKAGE_FIND_VERSION expected)
  string(REPLACE "." ";" parts "${PACKAGE_FIND_VERSION}.0")
  list(GET parts 0 PACKAGE_FIND_VERSION_MAJOR)
  list(GET parts 1 PACKAGE_FIND_VERSION_MINOR)
  list(GET parts 2 PACKAGE_FIND_VERSION_PATCH)
  set(PACKAGE_VERSION_COMPATIBLE FALSE)
  include(${prefix}/${LIBDIR}/cmake/dirov410/dirov410ConfigVersion.cmake)
  if(NOT PACKAGE_VERSION_COMPATIBLE STREQUAL expected)
    message(FATAL_ERROR "version ${VERSION} compatible with ${PACKAGE_FIND_VERSION}: "
                        "${PACKAGE_VERSION_COMPATIBLE}, expected ${expected}")
  endif()
endwhile()
