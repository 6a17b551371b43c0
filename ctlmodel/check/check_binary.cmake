# The freestanding checks on built files, run with -DOBJDUMP=... and one of:
#   -DARCHIVE=lib.a  no object has a static constructor table (code that runs
#                    before a driver's DriverEntry, which no driver loader runs)
#   -DIMAGE=x.sys    the image imports from ntoskrnl.exe only
#   -DDRIVER=x.sys   (with -DNM=...) the linked image's constructor list holds
#                    nothing between its two end marks
if(DRIVER)
  execute_process(COMMAND ${NM} ${DRIVER} OUTPUT_VARIABLE symbols RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "driver check: ${NM} could not read ${DRIVER}")
  endif()
  # MinGW links the list as [-1, constructors..., 0] from __CTOR_LIST__ to __DTOR_LIST__.
  if(NOT symbols MATCHES "([0-9a-f]+) [A-Za-z] __CTOR_LIST__\n")
    message(FATAL_ERROR "driver check: ${DRIVER} has no __CTOR_LIST__ symbol to check")
  endif()
  set(first ${CMAKE_MATCH_1})
  if(NOT symbols MATCHES "([0-9a-f]+) [A-Za-z] __DTOR_LIST__\n")
    message(FATAL_ERROR "driver check: ${DRIVER} has no __DTOR_LIST__ symbol to check")
  endif()
  math(EXPR bytes "0x${CMAKE_MATCH_1} - 0x${first}")
  if(NOT bytes EQUAL 16)
    string(REGEX MATCHALL "_GLOBAL__sub_I[^\n]*" constructors "${symbols}")
    message(FATAL_ERROR "driver check: ${DRIVER} runs static constructors, which no driver loader calls "
                        "(${bytes} bytes of constructor list: ${constructors}); make the globals constinit")
  endif()
  return()
endif()
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
