# smcd_add_components(FOLDER NAME...) adds FOLDER/NAME for each NAME, in the
# order given. Every component is named here by hand, as every source is in
# its folder's CMakeLists.txt: what the build holds is what the lists say,
# never what happens to lie in a folder.
#
# SMCD_ONLY (a list of folder names, e.g. "common;log;ipc;daemon") limits the
# build to those folders, for working on a few components while others are
# unfinished. Empty means everything.
set(SMCD_ONLY "" CACHE STRING "Build only these component folders (empty: all)")

function(smcd_wanted path result)
  get_filename_component(name ${path} NAME)
  if(NOT SMCD_ONLY OR name IN_LIST SMCD_ONLY OR name STREQUAL "support")
    set(${result} TRUE PARENT_SCOPE)
  else()
    set(${result} FALSE PARENT_SCOPE)
  endif()
endfunction()

function(smcd_add_components folder)
  foreach(name ${ARGN})
    set(path ${CMAKE_CURRENT_SOURCE_DIR}/${folder}/${name})
    if(NOT EXISTS ${path}/CMakeLists.txt)
      message(FATAL_ERROR "${folder}/${name}: listed as a component but has no CMakeLists.txt")
    endif()
    smcd_wanted(${path} wanted)
    if(wanted)
      add_subdirectory(${path})
    endif()
  endforeach()
endfunction()
