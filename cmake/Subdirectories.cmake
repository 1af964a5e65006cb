# Adds FOLDER itself when it has a CMakeLists.txt, otherwise every direct
# child folder that has one, so that a new component needs no edit here.
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

function(smcd_add_subdirectories folder)
  set(base ${CMAKE_CURRENT_SOURCE_DIR}/${folder})
  if(EXISTS ${base}/CMakeLists.txt)
    smcd_wanted(${base} wanted)
    if(wanted)
      add_subdirectory(${base})
    endif()
    return()
  endif()
  file(GLOB children LIST_DIRECTORIES true ${base}/*)
  list(SORT children)
  foreach(child ${children})
    smcd_wanted(${child} wanted)
    if(wanted AND IS_DIRECTORY ${child} AND EXISTS ${child}/CMakeLists.txt)
      add_subdirectory(${child})
    endif()
  endforeach()
endfunction()
