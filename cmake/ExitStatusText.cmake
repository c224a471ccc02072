# SPDX-License-Identifier: Apache-2.0
# cmake -DPROGRAM=zelvar -DOUTPUT=file -P ExitStatusText.cmake
# Writes the paragraph of `zelvar --help` that begins "Exit status:".
execute_process(COMMAND ${PROGRAM} --help OUTPUT_VARIABLE help RESULT_VARIABLE status)
string(FIND "${help}" "Exit status:" at)
if(NOT status EQUAL 0 OR at LESS 0)
  message(FATAL_ERROR "${PROGRAM} --help has no \"Exit status:\" paragraph")
endif()
string(SUBSTRING "${help}" ${at} -1 text)
file(WRITE ${OUTPUT} "${text}")
