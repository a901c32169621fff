# tessaro_warnings(<target> [TEST]): the warning set every target of ours
# compiles with. Tests skip -Wsign-conversion, which would bury their index
# arithmetic in casts.
function(tessaro_warnings target)
  cmake_parse_arguments(ARG "TEST" "" "" ${ARGN})
  target_compile_options(${target} PRIVATE
    -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wold-style-cast -Wnon-virtual-dtor
    -Woverloaded-virtual -Wdouble-promotion -Wimplicit-fallthrough)
  if(NOT ARG_TEST)
    target_compile_options(${target} PRIVATE -Wsign-conversion)
  endif()
  if(TESSARO_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()
