# Each folder of src/platform holds a service's portable interface in a
# `<service>_core` library; the code that fills it for one operating system
# sits in a subfolder named for that system (linux/ today, macos/ for a port),
# whose library links the core and adds itself to the service's umbrella
# target, the one everything else links. The core never links its side, so
# no two libraries link each other (tests/seams checks it). What a port still
# has to change outside its new folders is listed in docs/MACOS.md.
include_guard(GLOBAL)
include(${CMAKE_CURRENT_LIST_DIR}/Headers.cmake)

function(smcd_add_platform_side)
  if(CMAKE_SYSTEM_NAME STREQUAL "Linux")
    set(side linux)
  elseif(CMAKE_SYSTEM_NAME STREQUAL "Darwin")
    set(side macos)
  endif()
  if(side AND EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/${side}/CMakeLists.txt)
    add_subdirectory(${side})
  else()
    file(RELATIVE_PATH service ${PROJECT_SOURCE_DIR} ${CMAKE_CURRENT_SOURCE_DIR})
    message(FATAL_ERROR "${service}: only the Linux stand-in is written; the ${CMAKE_SYSTEM_NAME} side "
                        "of this service is not written yet (docs/MACOS.md lists what a port adds).")
  endif()
endfunction()

# smcd_add_header_seam(<name> [LINKS library...]): a service whose portable
# side is headers only: `<name>_core` offers them (and links LINKS), `<name>`
# adds the platform side to it. Call it from the service's folder.
function(smcd_add_header_seam name)
  cmake_parse_arguments(SEAM "" "" "LINKS" ${ARGN})
  add_library(${name}_core INTERFACE)
  smcd_export_headers(${name}_core)
  target_link_libraries(${name}_core INTERFACE ${SEAM_LINKS})
  add_library(${name} INTERFACE)
  target_link_libraries(${name} INTERFACE ${name}_core)
  smcd_add_platform_side()
endfunction()
