# cmake -DCLI=kivora-cli -DEXTRA=kivora-cli.h2m -DOUTPUT=out.h2m -P CliCommands.cmake
# Writes help2man's include file: EXTRA, then a COMMANDS section made of every
# command's own --help.

# roff reads a backslash as an escape and a line opening with a dot or an
# apostrophe as a request.
function(as_roff text out)
    string(REPLACE "\\" "\\e" text "${text}")
    string(REGEX REPLACE "(^|\n)([.'])" "\\1\\\\&\\2" text "${text}")
    set(${out} "${text}" PARENT_SCOPE)
endfunction()

execute_process(COMMAND ${CLI} --help OUTPUT_VARIABLE overview RESULT_VARIABLE status)
if(NOT status EQUAL 0)
    message(FATAL_ERROR "${CLI} --help failed")
endif()
string(REGEX MATCHALL "\n  [a-z]+ " commandLines "${overview}")

file(READ ${EXTRA} text)
string(APPEND text "\n[COMMANDS]\n")
foreach(line ${commandLines})
    string(STRIP "${line}" command)
    execute_process(COMMAND ${CLI} ${command} --help OUTPUT_VARIABLE help RESULT_VARIABLE status)
    if(NOT status EQUAL 0)
        message(FATAL_ERROR "${CLI} ${command} --help failed")
    endif()
    string(REGEX REPLACE "^usage: kivora-cli ([^\n]*)\n\n?" "" details "${help}")
    string(REGEX MATCH "^usage: kivora-cli ([^\n]*)" usage "${help}")
    as_roff("${CMAKE_MATCH_1}" usage)
    as_roff("${details}" details)
    string(STRIP "${details}" details)
    string(APPEND text ".TP\n.B kivora-cli ${usage}\n.nf\n${details}\n.fi\n")
endforeach()
file(WRITE ${OUTPUT} "${text}")
