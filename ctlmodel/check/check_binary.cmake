# The freestanding checks on built files, run with -DOBJDUMP=... and one of:
#   -DARCHIVE=lib.a  no object has a static constructor table (code that runs
#                    before a driver's DriverEntry, which no driver loader runs)
#   -DIMAGE=x.sys    the image imports from ntoskrnl.exe only
execute_process(COMMAND ${OBJDUMP} -h -p ${ARCHIVE}${IMAGE} OUTPUT_VARIABLE dump RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "ctlmodel check: ${OBJDUMP} could not read ${ARCHIVE}${IMAGE}")
endif()
if(ARCHIVE AND dump MATCHES "[ \t](\\.ctors|\\.init_array|\\.CRT\\$XC)[^\n]*")
  message(FATAL_ERROR "ctlmodel check: ${ARCHIVE} has a static constructor table (${CMAKE_MATCH_0}): "
                      "the model must not run code before it is called")
endif()
string(REGEX MATCHALL "DLL Name: [^\n]*" imports "${dump}")
foreach(import ${imports})
  string(TOLOWER "${import}" lower)
  if(NOT lower STREQUAL "dll name: ntoskrnl.exe")
    message(FATAL_ERROR "ctlmodel check: ${IMAGE} imports from '${import}'; a driver may import ntoskrnl.exe only")
  endif()
endforeach()
