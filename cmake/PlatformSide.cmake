# Each folder of src/platform holds a service's portable interface; the code
# that fills it for one operating system sits in a subfolder named for that
# system (linux/ today, macos/ for a port), so a port adds a folder and edits
# nothing. The subfolder adds its library to the service's umbrella target.
include_guard(GLOBAL)

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
