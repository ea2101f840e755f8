# The board command table (commands/commands.json) is the one description of
# the 54 board commands' arguments. From it the configure step writes
#   <out_header>  the table dirovctl prints in `call --help` and `call --list`
#   <out_dox>     the Doxygen page of the table and each command function's
#                 reference entry (\fn), whose signature Doxygen matches
#                 against the declaration in dirov410.h
# The Python package reads the JSON itself (python/dirov410/commands.json).

# `text` as the body of a C string literal.
function(dirov_c_string out text)
  string(REPLACE "\\" "\\\\" text "${text}")
  string(REPLACE "\"" "\\\"" text "${text}")
  string(REPLACE "\n" "\\n" text "${text}")
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

# `text` with the characters Doxygen would take for commands escaped.
function(dirov_dox_text out text)
  foreach(ch "%" "#" "<" ">" "@")
    string(REPLACE "${ch}" "\\${ch}" text "${text}")
  endforeach()
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

function(dirov_board_commands json out_header out_dox)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${json})
  file(READ ${json} table)
  string(JSON about GET "${table}" about)
  string(JSON count LENGTH "${table}" commands)
  set(ctypes_u8 uint8_t)
  set(ctypes_u16 uint16_t)
  set(ctypes_u32 uint32_t)
  set(ctypes_i32 int32_t)
  set(ctypes_f32 float)
  set(ctypes_bytes_in "const uint8_t*")
  set(ctypes_bytes_out "uint8_t*")
  set(groups_cbus commands_cbus)
  set(groups_io commands_io)
  set(groups_port commands_port)

  dirov_dox_text(about_dox "${about}")
  string(CONCAT page "/** \\page board_commands Board commands\n\n${about_dox}\n\n"
    "| function | command text | arguments after the handle |\n|---|---|---|\n")
  set(fns "")
  set(entries "")
  math(EXPR last "${count} - 1")
  foreach(i RANGE ${last})
    string(JSON c GET "${table}" commands ${i})
    string(JSON name GET "${c}" name)
    string(JSON group GET "${c}" group)
    string(JSON command GET "${c}" command)
    string(JSON summary GET "${c}" summary)
    string(JSON result GET "${c}" result)
    string(JSON nargs LENGTH "${c}" args)
    if(NOT DEFINED groups_${group} OR NOT name MATCHES "^[a-zA-Z_][a-zA-Z0-9_]*$")
      message(FATAL_ERROR "${json}: command ${i}: bad name '${name}' or group '${group}'")
    endif()
    set(params "WINUSB_INTERFACE_HANDLE h")
    set(param_docs " * \\param h the interface handle (_GetWinUsbHandle)\n")
    set(page_args "")
    set(tool_args "")
    set(tool_help "")
    if(nargs GREATER 0)
      math(EXPR alast "${nargs} - 1")
      foreach(j RANGE ${alast})
        string(JSON a GET "${c}" args ${j})
        string(JSON aname GET "${a}" name)
        string(JSON atype GET "${a}" type)
        string(JSON meaning GET "${a}" meaning)
        string(JSON count_of ERROR_VARIABLE no_count GET "${a}" count_of)
        if(NOT DEFINED ctypes_${atype})
          message(FATAL_ERROR "${json}: ${name}: argument ${aname} has unknown type '${atype}'")
        endif()
        string(APPEND params ", ${ctypes_${atype}} ${aname}")
        dirov_dox_text(m "${meaning}")
        string(APPEND param_docs " * \\param ${aname} (${atype}) ${m}\n")
        if(page_args)
          string(APPEND page_args "<br/>")
        endif()
        string(APPEND page_args "`${aname}` (${atype}): ${m}")
        # The tool takes what a caller gives: no buffer, and a payload as
        # hex digits whose length is its count.
        if(atype STREQUAL "bytes_in")
          string(APPEND tool_args " ${aname}")
          string(APPEND tool_help "      ${aname} (hex digits, two a byte): ${meaning}\n")
        elseif(NOT atype STREQUAL "bytes_out" AND no_count)
          string(APPEND tool_args " ${aname}")
          string(APPEND tool_help "      ${aname} (${atype}): ${meaning}\n")
        endif()
      endforeach()
    endif()
    if(page_args STREQUAL "")
      set(page_args "none")
    endif()
    set(command_dox "\"${command}\"")
    dirov_dox_text(summary_dox "${summary}")
    dirov_dox_text(result_dox "${result}")
    string(APPEND page "| #${name} | ${command_dox} | ${page_args} |\n")
    string(APPEND fns "/** \\fn int32_t ${name}(${params})\n"
      " * \\ingroup ${groups_${group}}\n * \\brief ${summary_dox}\n *\n"
      " * Sends ${command_dox} (see \\ref board_commands).\n${param_docs}"
      " * \\return ${result_dox}\n */\n\n")
    string(STRIP "${tool_args}" tool_args)
    dirov_c_string(summary_c "${summary}")
    dirov_c_string(command_c "${command}")
    dirov_c_string(result_c "${result}")
    dirov_c_string(help_c "${tool_help}")
    string(APPEND entries "    {\"${name}\", \"${tool_args}\", \"${summary_c}\", \"${command_c}\",\n"
      "     \"${help_c}\", \"${result_c}\"},\n")
  endforeach()
  string(APPEND page "*/\n\n")

  file(CONFIGURE OUTPUT ${out_dox} CONTENT "${page}${fns}" @ONLY)
  file(CONFIGURE OUTPUT ${out_header} CONTENT
"// Generated from commands/commands.json by cmake/BoardCommands.cmake.
#pragma once

namespace dirov {

struct BoardCommandDoc {
    const char* name;
    const char* args;  // what a caller of the tool gives, in order
    const char* summary;
    const char* command;  // the command text, printf style
    const char* help;     // one line per argument, indented
    const char* result;
};

inline constexpr BoardCommandDoc kBoardCommandDocs[] = {
${entries}};

}  // namespace dirov
" @ONLY)
endfunction()
