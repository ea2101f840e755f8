# Writes dirovctl's man page with help2man: the top-level --help and
# --version, the static sections of dirovctl.h2m, and one SUBCOMMANDS entry
# per subcommand with its own --help, so the page follows the tool's help.
#   cmake -DTOOL=<dirovctl> -DHELP2MAN=<help2man> -DINCLUDE=<dirovctl.h2m>
#         -DOUT=<dirovctl.1> -P DirovctlMan.cmake
cmake_minimum_required(VERSION 3.25)
get_filename_component(work ${OUT} DIRECTORY)

function(help out_var)
  execute_process(COMMAND ${TOOL} ${ARGN} --help RESULT_VARIABLE rc OUTPUT_VARIABLE text
                  ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${TOOL} ${ARGN} --help failed: ${err}")
  endif()
  set(${out_var} "${text}" PARENT_SCOPE)
endfunction()

# The names listed under "Subcommands:" in a help text.
function(subcommands out_var text)
  set(names "")
  set(in FALSE)
  string(REPLACE "\n" ";" lines "${text}")
  foreach(line IN LISTS lines)
    if(line MATCHES "^Subcommands:")
      set(in TRUE)
    elseif(in AND line MATCHES "^  ([a-z][a-z0-9_-]*) ")
      list(APPEND names ${CMAKE_MATCH_1})
    elseif(in AND NOT line MATCHES "^ ")
      set(in FALSE)
    endif()
  endforeach()
  set(${out_var} ${names} PARENT_SCOPE)
endfunction()

# Help text as literal roff: backslashes escaped, control characters at a
# line start defused, the program path shown as the bare name.
function(roff out_var text)
  string(REPLACE "\\" "\\e" text "${text}")
  string(REGEX REPLACE "Usage: [^ \n]*dirovctl" "Usage: dirovctl" text "${text}")
  string(REGEX REPLACE "(^|\n)([.'])" "\\1\\\\&\\2" text "${text}")
  set(${out_var} "${text}" PARENT_SCOPE)
endfunction()

set(section "[SUBCOMMANDS]\n")
help(top)
subcommands(names "${top}")
set(queue ${names})
while(queue)
  list(POP_FRONT queue name)
  string(REPLACE " " ";" words "${name}")
  help(text ${words})
  roff(body "${text}")
  string(APPEND section ".SS \"dirovctl ${name}\"\n.nf\n${body}.fi\n")
  subcommands(nested "${text}")
  foreach(n IN LISTS nested)
    list(APPEND queue "${name} ${n}")
  endforeach()
endwhile()
file(WRITE ${work}/dirovctl-subcommands.h2m "${section}")

# The version is the tool's own first line (the second names the library).
execute_process(COMMAND ${TOOL} --version OUTPUT_VARIABLE version)
string(REGEX MATCH "^dirovctl ([^\n]*)" _ "${version}")
execute_process(COMMAND ${HELP2MAN} --no-info --section 1
                  --version-string "${CMAKE_MATCH_1}"
                  --name "drive a dirov410 USB interface board"
                  --include ${INCLUDE} --include ${work}/dirovctl-subcommands.h2m
                  --output ${OUT} ${TOOL}
                RESULT_VARIABLE rc ERROR_VARIABLE err)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "help2man failed: ${err}")
endif()
