# Fills the bash completion template with what the built program knows: the
# options its --help lists, the field names --set takes and the extensions of
# sound files.
#
# cmake -DPROGRAM=wavquill -DTEMPLATE=wavquill.bash.in -DOUTPUT=wavquill.bash -P BashCompletion.cmake

function(program_output variable)
  execute_process(COMMAND ${PROGRAM} ${ARGN} OUTPUT_VARIABLE text RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "${PROGRAM} ${ARGN} failed (${status})")
  endif()
  string(STRIP "${text}" text)
  set(${variable} "${text}" PARENT_SCOPE)
endfunction()

# Options are named in the usage lines and at the start of an option's lines;
# the prose around them only mentions them.
program_output(help --help)
# No list separators or brackets (which group list items) in the lines.
string(REGEX REPLACE "[][;]" " " help "${help}")
string(REPLACE "\n" ";" lines "${help}")
set(options)
foreach(line IN LISTS lines)
  if(line MATCHES "^(Usage:| +or:)? *(wavquill |-)")
    string(REGEX MATCHALL " (--?[a-z][a-z-]*)" found " ${line}")
    foreach(option IN LISTS found)
      string(SUBSTRING "${option}" 1 -1 option)
      list(APPEND options ${option})
    endforeach()
  endif()
endforeach()
list(REMOVE_DUPLICATES options)
list(JOIN options " " WAVQUILL_OPTIONS)

program_output(fields --completion-words fields)
string(REPLACE "\n" " " WAVQUILL_FIELDS "${fields}")
program_output(extensions --completion-words extensions)
string(REPLACE "\n" "|" WAVQUILL_EXTENSIONS "${extensions}")

configure_file(${TEMPLATE} ${OUTPUT} @ONLY)
