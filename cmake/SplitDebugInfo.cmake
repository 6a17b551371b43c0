# Post-build step of the Windows executable (cmake -P): keeps its symbols and
# debug information in EXE.debug, strips EXE and links it to that file with a
# GNU debug link (gdb and other DWARF readers follow it), prints both sizes,
# and fails when EXE imports a DLL of the MinGW runtime: the shipped
# executable needs the system's DLLs only.
# In: EXE, OBJCOPY, OBJDUMP.
set(debug "${EXE}.debug")
execute_process(COMMAND "${OBJCOPY}" --only-keep-debug "${EXE}" "${debug}" COMMAND_ERROR_IS_FATAL ANY)
# --strip-all: the COFF symbol table (about 290 KB) goes too; the debug file has it.
execute_process(COMMAND "${OBJCOPY}" --strip-all "--add-gnu-debuglink=${debug}" "${EXE}" COMMAND_ERROR_IS_FATAL ANY)

execute_process(COMMAND "${OBJDUMP}" -p "${EXE}" OUTPUT_VARIABLE headers COMMAND_ERROR_IS_FATAL ANY)
string(REGEX MATCHALL "DLL Name: [^\r\n]+" imports "${headers}")
string(REPLACE "DLL Name: " "" imports "${imports}")
foreach(dll IN LISTS imports)
  if(dll MATCHES "^[Ll][Ii][Bb].*\\.[Dd][Ll][Ll]$")
    message(FATAL_ERROR "${EXE} needs the runtime DLL ${dll}; link the runtime statically")
  endif()
endforeach()

file(SIZE "${EXE}" exeBytes)
file(SIZE "${debug}" debugBytes)
math(EXPR exeKb "(${exeBytes} + 1023) / 1024")
math(EXPR debugKb "(${debugBytes} + 1023) / 1024")
get_filename_component(exeName "${EXE}" NAME)
get_filename_component(debugName "${debug}" NAME)
list(JOIN imports ", " importText)
message(STATUS "${exeName}: ${exeKb} KB (${exeBytes} bytes), stripped; imports ${importText}")
message(STATUS "${debugName}: ${debugKb} KB (${debugBytes} bytes), its symbols and debug information")
