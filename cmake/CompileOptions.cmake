# Options every target of the project shares.
add_compile_options(-Wall -Wextra -Werror)

set(VORN_SANITIZE "" CACHE STRING "Sanitizers: empty, 'address,undefined' or 'thread'")
# Sanitizer builds use their own build type: -O1 keeps the instrumented code
# fast enough and compiles much quicker than -O2; -g1 is all the reports need
# for function names and line numbers.
if(VORN_SANITIZE)
  if(CMAKE_BUILD_TYPE STREQUAL "Sanitize")
    add_compile_options(-O1 -g1)
  endif()
  add_compile_options(-fsanitize=${VORN_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=${VORN_SANITIZE})
endif()

# Fuzzing builds: every library carries libFuzzer's coverage instrumentation;
# only the fuzz targets link the fuzzer's main (fuzz/CMakeLists.txt).
if(VORN_BUILD_FUZZ AND CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
  add_compile_options(-fsanitize=fuzzer-no-link)
endif()

# The benchmark build carries line tables: scripts/bench counts the product's
# own instructions under callgrind by the source folder they come from.
if(VORN_BUILD_BENCH AND NOT WIN32)
  add_compile_options(-g1)
endif()

if(WIN32)
  # -municode: the entry point is wmain. -static: the .exe carries the MinGW
  # runtime (without it Windows cannot find libstdc++/libgcc DLLs next to it).
  add_compile_definitions(UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0A00)
  add_link_options(-static -static-libgcc -static-libstdc++)
endif()

# Reuse compiled objects across build folders and checkouts when ccache is
# installed (developer machines); builds are the same without it.
find_program(VORN_CCACHE ccache)
if(VORN_CCACHE AND NOT CMAKE_CXX_COMPILER_LAUNCHER)
  set(CMAKE_C_COMPILER_LAUNCHER ${VORN_CCACHE})
  set(CMAKE_CXX_COMPILER_LAUNCHER ${VORN_CCACHE})
endif()
