# smcd_add_bench(NAME SOURCES src... [LIBS lib...] [SANDBOX])
# A benchmark executable in build/bench. `make bench` runs every one of them
# (SANDBOX ones inside the test sandbox) and gathers the rows they print with
# smcd::bench::printRow into one report.
function(smcd_add_bench name)
  cmake_parse_arguments(B "SANDBOX" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${B_SOURCES})
  target_link_libraries(${name} PRIVATE smcd_bench_support ${B_LIBS})
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bench)
  if(B_SANDBOX)
    file(TOUCH ${CMAKE_BINARY_DIR}/bench/${name}.sandbox)
  endif()
endfunction()
