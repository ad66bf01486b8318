# The help and About windows and the RTF reader behind the help window.
include(${CMAKE_CURRENT_LIST_DIR}/help.cmake)

# The RTF reader alone, no widgets (the fuzz target links it too).
add_library(zk_rtf STATIC
  ${CMAKE_CURRENT_LIST_DIR}/rtfreader.cpp ${CMAKE_CURRENT_LIST_DIR}/rtfreader.h
)
target_include_directories(zk_rtf PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(zk_rtf PUBLIC zk_register Qt6::Gui)

add_library(zk_shell STATIC
  ${CMAKE_CURRENT_LIST_DIR}/formhelp.cpp ${CMAKE_CURRENT_LIST_DIR}/formhelp.h
  ${CMAKE_CURRENT_LIST_DIR}/formabout.cpp ${CMAKE_CURRENT_LIST_DIR}/formabout.h
)
target_include_directories(zk_shell PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(zk_shell PUBLIC zk_rtf zk_register Qt6::Widgets)
# Whatever links the windows finds the document beside its executable.
add_dependencies(zk_shell zk_help_doc)
