# Writes a man page from a program's --help: cmake -DPROGRAM=... -DNAME=...
# -DSECTION=1 -DVERSION=... -DOUTPUT=... -P manpage.cmake
execute_process(COMMAND ${PROGRAM} --help OUTPUT_VARIABLE help RESULT_VARIABLE status)
if(NOT status EQUAL 0)
    message(FATAL_ERROR "${PROGRAM} --help failed: ${status}")
endif()
# The first lines are "Usage: PATH [options] ..." and the one-line description.
string(REGEX REPLACE "^Usage: [^ \n]*" "Usage: ${NAME}" help "${help}")
string(REGEX MATCH "\n([^\n]+)" summary "${help}")
string(STRIP "${CMAKE_MATCH_1}" summary)
string(REPLACE "\\" "\\\\" help "${help}")
string(REGEX REPLACE "\n\\." "\n\\\\&." help "${help}")
string(REGEX REPLACE "\n'" "\n\\\\&'" help "${help}")
string(REPLACE "-" "\\-" help "${help}")
file(WRITE ${OUTPUT} ".TH ${NAME} ${SECTION} \"\" \"${NAME} ${VERSION}\" \"KT-MRC600Cam\"\n"
    ".SH NAME\n${NAME} \\- ${summary}\n.SH DESCRIPTION\n.nf\n${help}.fi\n")
