# smcd_add_test(NAME SOURCES src... [LIBS lib...] [LABELS label...] [SANDBOX] [TIMEOUT s])
#
# One GoogleTest executable, registered with CTest as one test. SANDBOX runs it
# as root inside the macOS-like mount namespace (tests/sandbox); such a test is
# reported as skipped (exit 77) where no namespace can be made, except under
# CI=true, where it fails. The label "concurrency" marks suites that also run
# under ThreadSanitizer.
function(smcd_add_test name)
  cmake_parse_arguments(T "SANDBOX" "TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE smcd_test_support ${T_LIBS} GTest::gtest GTest::gtest_main)
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
  if(T_SANDBOX)
    add_test(NAME ${name}
             COMMAND ${PROJECT_SOURCE_DIR}/tests/sandbox/run-in-sandbox.sh --bind ${CMAKE_BINARY_DIR}
                     -- $<TARGET_FILE:${name}>)
    list(APPEND T_LABELS sandbox)
  else()
    add_test(NAME ${name} COMMAND ${name})
  endif()
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  set_tests_properties(${name} PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT ${T_TIMEOUT} LABELS "${T_LABELS}")
  # `make tsan` builds only what the concurrency suites need.
  if("concurrency" IN_LIST T_LABELS)
    if(NOT TARGET smcd_concurrency_suites)
      add_custom_target(smcd_concurrency_suites)
    endif()
    add_dependencies(smcd_concurrency_suites ${name})
  endif()
endfunction()
