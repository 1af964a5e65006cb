# smcd_add_fuzz_target(NAME SOURCES src... [LIBS lib...] [NEEDS target...] [DEFINITIONS def...])
#
# One libFuzzer executable (clang only; scripts/fuzz.sh configures the build
# with coverage and sanitizers on every library). Where the compiler is not
# clang, or a component it NEEDS is left out of the build (SMCD_ONLY), the
# target is skipped with a message instead of breaking the configure.
function(smcd_add_fuzz_target name)
  cmake_parse_arguments(F "" "" "SOURCES;LIBS;NEEDS;DEFINITIONS" ${ARGN})
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    message(STATUS "${name}: libFuzzer needs clang; not built")
    return()
  endif()
  foreach(needed ${F_NEEDS})
    if(NOT TARGET ${needed})
      message(STATUS "${name}: ${needed} is not part of this build; not built")
      return()
    endif()
  endforeach()
  add_executable(${name} ${F_SOURCES})
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/fuzz)
  target_compile_definitions(${name} PRIVATE ${F_DEFINITIONS})
  target_link_libraries(${name} PRIVATE ${F_LIBS})
  target_compile_options(${name} PRIVATE -fsanitize=fuzzer,address,undefined)
  target_link_options(${name} PRIVATE -fsanitize=fuzzer,address,undefined)
endfunction()
