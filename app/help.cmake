# The help document is installed beside the program: the window looks for it
# in the working directory first, then in the folder of the executable.
include_guard(GLOBAL)

set(ZK_HELP_DOC_SOURCE ${CMAKE_CURRENT_LIST_DIR}/Help_zelta_kn.rtf)
set(ZK_HELP_DOC_OUTPUT ${CMAKE_RUNTIME_OUTPUT_DIRECTORY}/Help_zelta_kn.rtf)

add_custom_command(
  OUTPUT ${ZK_HELP_DOC_OUTPUT}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_RUNTIME_OUTPUT_DIRECTORY}
  COMMAND ${CMAKE_COMMAND} -E copy_if_different ${ZK_HELP_DOC_SOURCE} ${ZK_HELP_DOC_OUTPUT}
  DEPENDS ${ZK_HELP_DOC_SOURCE}
  COMMENT "Copying the help document"
  VERBATIM)
add_custom_target(zk_help_doc ALL DEPENDS ${ZK_HELP_DOC_OUTPUT})
