# Tests of the Windows build, run under Wine (the toolchain's emulator).

# The WinUSB backend over an emulated driver backed by the simulated board.
if(TARGET test_winusb)
  add_library(dirov_winusb_emulator STATIC support/winusb_emulator.cpp)
  target_link_libraries(dirov_winusb_emulator PUBLIC dirov_test_support)
  target_link_libraries(test_winusb PRIVATE dirov_winusb_emulator)
endif()

# The DLL exports exactly the names the headers declare and imports only
# system DLLs.
find_program(DIROV_OBJDUMP ${CMAKE_SYSTEM_PROCESSOR}-w64-mingw32-objdump REQUIRED)
add_test(NAME exports COMMAND ${CMAKE_COMMAND}
  -DLIB=$<TARGET_FILE:dirov410> -DSOURCE=${CMAKE_SOURCE_DIR} -DOBJDUMP=${DIROV_OBJDUMP}
  "-DHEADERS=${CMAKE_SOURCE_DIR}/include/dirov410.h|${CMAKE_SOURCE_DIR}/include/dirov410_sim.h"
  -P ${CMAKE_CURRENT_SOURCE_DIR}/check_dll.cmake)
add_test(NAME dll_imports COMMAND ${CMAKE_COMMAND}
  -DLIB=$<TARGET_FILE:dirov410> -DOBJDUMP=${DIROV_OBJDUMP}
  -P ${CMAKE_CURRENT_SOURCE_DIR}/check_dll.cmake)

# The public headers compile as C99 and link against the DLL.
add_executable(c_api_check c_api_check.c)
set_target_properties(c_api_check PROPERTIES C_STANDARD 99 C_EXTENSIONS OFF)
target_link_libraries(c_api_check PRIVATE dirov410)
add_test(NAME c_api COMMAND c_api_check)

# The tour of a simulated board, through the DLL.
if(TARGET dirovctl)
  add_test(NAME dirovctl_tour COMMAND dirovctl --sim tour --dir tour)
  # Wine on a busy machine can leave a transfer's thread unscheduled for
  # seconds; the tour checks each step's outcome, not dirovctl's 5 s default.
  set_tests_properties(dirovctl_tour PROPERTIES WORKING_DIRECTORY ${CMAKE_BINARY_DIR}
    ENVIRONMENT DIROV410_TIMEOUT=60000)
  # A raw stream on standard output arrives byte for byte: a counter stream
  # holds 0x0A bytes that a text-mode stdout would pad with 0x0D.
  add_test(NAME dirovctl_capture_stdout COMMAND sh -c
    "$0 $1 --sim --pattern counter capture --bytes 65536 -o - 2>/dev/null | wc -c"
    ${CMAKE_CROSSCOMPILING_EMULATOR} $<TARGET_FILE:dirovctl>)
  set_tests_properties(dirovctl_capture_stdout PROPERTIES PASS_REGULAR_EXPRESSION "^65536\n?$")
endif()
set_tests_properties(exports dll_imports c_api PROPERTIES LABELS unit)

# The public headers under clang: C99 and C++17 for the MinGW target against
# MinGW's <windows.h> and <winusb.h>, and C99 for the MSVC target (no GNU
# extensions, __declspec(dllimport)) with the SDK's types standing in for
# <windows.h>.
find_program(DIROV_CLANG clang)
if(DIROV_CLANG)
  set(mingw_include /usr/${CMAKE_SYSTEM_PROCESSOR}-w64-mingw32/include)
  set(header ${CMAKE_SOURCE_DIR}/include/dirov410_sim.h)
  foreach(lang c c++)
    string(REPLACE "+" "x" name "${lang}")
    set(std c99)
    if(lang STREQUAL "c++")
      set(std c++17)
    endif()
    add_test(NAME header_mingw_${name} COMMAND ${DIROV_CLANG} --target=x86_64-w64-windows-gnu
      -fsyntax-only -Wall -Wextra -pedantic -Werror -x ${lang} -std=${std}
      -isystem ${mingw_include} -I${CMAKE_SOURCE_DIR}/include ${header})
  endforeach()
  add_test(NAME header_msvc_c COMMAND ${DIROV_CLANG} --target=x86_64-pc-windows-msvc
    -fsyntax-only -Wall -Wextra -Werror -x c -std=c99 -I${CMAKE_CURRENT_SOURCE_DIR}/msvc
    -idirafter ${mingw_include} -I${CMAKE_SOURCE_DIR}/include ${header})
  set_tests_properties(header_mingw_c header_mingw_cxx header_msvc_c PROPERTIES LABELS unit)
endif()
