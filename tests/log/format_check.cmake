# Compiles format_check.cc once per case: each mismatched call must fail to
# build for its own reason, and the matched calls must build, so the check
# cannot pass because the snippet is broken some other way.
#
#   cmake -DCOMPILER=c++ -DFLAGS="the build's flags" -DSOURCE=format_check.cc -DINCLUDE=src -P format_check.cmake

separate_arguments(flags UNIX_COMMAND "${FLAGS}")
list(APPEND flags -std=c++20 -Wall -Wextra -Werror -fsyntax-only -I${INCLUDE} ${SOURCE})

function(compile result output)
  execute_process(COMMAND ${COMPILER} ${flags} ${ARGN} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE out)
  set(${result} ${status} PARENT_SCOPE)
  set(${output} "${out}" PARENT_SCOPE)
endfunction()

compile(status output)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "the matched calls do not build:\n${output}")
endif()

foreach(case TEXT_FOR_A_NUMBER LONG_FOR_AN_INT SIGNED_FOR_UNSIGNED BOOL_FOR_A_NUMBER VALUE_MISSING VALUE_LEFT_OVER UNKNOWN_MARK RUNTIME_FORMAT)
  compile(status output -D${case})
  if(status EQUAL 0)
    message(FATAL_ERROR "${case}: the call builds")
  endif()
  # A mismatch must fail in the format check; a runtime format where a literal is pasted on.
  set(reason logFormatDoesNotMatchItsArguments)
  if(case STREQUAL RUNTIME_FORMAT)
    set(reason expected)
  endif()
  string(FIND "${output}" "${reason}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "${case}: the call fails to build, but not for its mismatch:\n${output}")
  endif()
endforeach()
message(STATUS "format check: the matched calls build, each mismatch and the runtime format fail")
