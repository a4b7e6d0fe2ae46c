# Writes the manual page OUT from SKELETON and the help texts of the built
# command TOOL: its usage becomes the SYNOPSIS, each command's help a
# subsection of COMMANDS, verbatim.
#
#   cmake -DTOOL=... -DSKELETON=... -DOUT=... -DVERSION=... -DDATE=... -P man_page.cmake

cmake_minimum_required(VERSION 3.16)

# Text as roff shows it verbatim: backslashes escaped, and no line that
# begins with a control character.
function(roff_verbatim text out)
  string(REPLACE "\\" "\\e" text "${text}")
  string(REGEX REPLACE "(^|\n)([.'])" "\\1\\\\&\\2" text "${text}")
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

execute_process(COMMAND ${TOOL} --help OUTPUT_VARIABLE usage RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${TOOL} --help failed")
endif()
roff_verbatim("${usage}" usage_roff)
set(synopsis ".nf\n${usage_roff}.fi")

set(commands "")
string(REGEX MATCHALL "\n  ktcache [a-z]+" lines "${usage}")
foreach(line IN LISTS lines)
  string(REGEX REPLACE "\n  ktcache " "" command "${line}")
  execute_process(COMMAND ${TOOL} help ${command} OUTPUT_VARIABLE help RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "${TOOL} help ${command} failed")
  endif()
  roff_verbatim("${help}" help_roff)
  string(APPEND commands ".SS ${command}\n.nf\n${help_roff}.fi\n")
endforeach()
string(REGEX REPLACE "\n$" "" commands "${commands}")

file(READ ${SKELETON} page)
string(REPLACE "@SYNOPSIS@" "${synopsis}" page "${page}")
string(REPLACE "@COMMANDS@" "${commands}" page "${page}")
string(REPLACE "@VERSION@" "${VERSION}" page "${page}")
string(REPLACE "@DATE@" "${DATE}" page "${page}")
file(WRITE ${OUT} "${page}")
