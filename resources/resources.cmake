# Version information in every program, and the event messages of the service host. Included by the
# top-level CMakeLists.txt, so that its targets can use the message table generated here.
set(version_template ${CMAKE_CURRENT_LIST_DIR}/version.rc.in)
# Writes <name>-version.rc in the build folder.
function(add_version_file name file description)
  set(FILE ${file})
  set(DESCRIPTION ${description})
  if(file MATCHES "\\.dll$")
    set(FILETYPE VFT_DLL)
  else()
    set(FILETYPE VFT_APP)
  endif()
  configure_file(${version_template} ${PROJECT_BINARY_DIR}/${name}-version.rc @ONLY)
endfunction()
function(add_version target file description)
  add_version_file(${target} ${file} ${description})
  target_sources(${target} PRIVATE ${PROJECT_BINARY_DIR}/${target}-version.rc)
endfunction()

add_version(Quorlin Quorlin.exe "Quorlin service host")
add_version(vexil_setup vexil_setup.exe "Quorlin setup tool: records the Java home")

# Event Viewer renders a record of source "Quorlin" through this message table (EventMessageFile).
string(REPLACE windres windmc message_compiler ${CMAKE_RC_COMPILER})
set(messages ${PROJECT_BINARY_DIR}/messages)
add_custom_command(OUTPUT ${messages}/messages.rc ${messages}/MSG00409.bin
  COMMAND ${CMAKE_COMMAND} -E make_directory ${messages}
  COMMAND ${message_compiler} -h ${messages} -r ${messages} ${CMAKE_CURRENT_LIST_DIR}/messages.mc
  DEPENDS ${CMAKE_CURRENT_LIST_DIR}/messages.mc VERBATIM)
target_sources(Quorlin PRIVATE ${messages}/messages.rc)
target_include_directories(Quorlin PRIVATE ${messages})
