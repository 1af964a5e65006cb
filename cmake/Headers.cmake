# smcd_export_headers(<target>)
#
# A library offers the headers of its own folder and no other. Each library
# gets a folder of its own in the build tree holding a single link to its
# source folder, at the path its headers are included by ("removal/...",
# "platform/ipc/..."), and that folder is all it puts on its users' include
# path. A file that includes a header of a library its target does not link
# therefore fails to compile, so every dependency is declared where it is
# used. Call it from the CMakeLists.txt of the folder the target owns.
include_guard(GLOBAL)

function(smcd_export_headers target)
  file(RELATIVE_PATH folder ${PROJECT_SOURCE_DIR}/src ${CMAKE_CURRENT_SOURCE_DIR})
  if(folder MATCHES "^\\.\\.")
    message(FATAL_ERROR "smcd_export_headers(${target}): ${CMAKE_CURRENT_SOURCE_DIR} is not below src/")
  endif()
  set(root ${CMAKE_BINARY_DIR}/headers/${target})
  get_filename_component(parent ${root}/${folder} DIRECTORY)
  file(MAKE_DIRECTORY ${parent})
  file(CREATE_LINK ${CMAKE_CURRENT_SOURCE_DIR} ${root}/${folder} SYMBOLIC)
  get_target_property(type ${target} TYPE)
  if(type STREQUAL "INTERFACE_LIBRARY")
    target_include_directories(${target} INTERFACE ${root})
  else()
    target_include_directories(${target} PUBLIC ${root})
  endif()
endfunction()
