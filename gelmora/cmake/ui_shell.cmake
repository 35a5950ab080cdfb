# The application shell: one-copy check, and (once the Qt application targets exist) the
# delegate, tray and main window with their tests. Included by gelmora's CMakeLists.txt after
# ui.cmake (cmake/*.cmake, in name order).
if(FUZZ OR TSAN)
  return()
endif()
find_package(Qt6 REQUIRED COMPONENTS Core Network WebEngineCore)

if(TARGET gelmora_app AND NOT TARGET gelmora_app_network)
  # The one-copy socket and the web profile; a marker target so that the link is added once.
  add_library(gelmora_app_network INTERFACE)
  target_link_libraries(gelmora_app_network INTERFACE Qt6::Network Qt6::WebEngineCore)
  get_target_property(_app_type gelmora_app TYPE)
  if(_app_type STREQUAL "INTERFACE_LIBRARY")
    target_link_libraries(gelmora_app INTERFACE gelmora_app_network)
  else()
    target_link_libraries(gelmora_app PUBLIC gelmora_app_network)
  endif()
endif()

# The one-copy check runs in a small probe program; the test starts copies of it side by side.
add_executable(single_instance_probe tests/app/single_instance_probe.cpp app/SingleInstance.cpp)
project_warnings(single_instance_probe)
set_target_properties(single_instance_probe PROPERTIES AUTOMOC ON)
target_include_directories(single_instance_probe PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/app)
target_link_libraries(single_instance_probe PRIVATE gelmora_core Qt6::Core Qt6::Network)
add_unit_test(single_instance_test SOURCES tests/app/single_instance_test.cpp LABEL integration)
if(TARGET single_instance_test)
  target_compile_definitions(single_instance_test PRIVATE
                             SINGLE_INSTANCE_PROBE="$<TARGET_FILE:single_instance_probe>")
  add_dependencies(single_instance_test single_instance_probe)
endif()

if(TARGET gelmora_app AND TARGET gelmora_gui_test_main AND COMMAND add_gui_test)
  if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/tests/app/app_delegate_test.cpp)
    add_gui_test(app_delegate_test SOURCES tests/app/app_delegate_test.cpp
                 LIBS gelmora_app gelmora_gui_test_main)
    if(TARGET app_delegate_test)
      target_include_directories(app_delegate_test PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/app)
    endif()
  endif()
endif()

# A signed-out session against in-process stand-ins, for the widget tests of the screens.
if(TARGET gelmora_app AND TARGET standin_account AND TARGET standin_analytics AND TARGET standin_geo)
  add_library(gui_session_fixture STATIC tests/app/GuiSession.cpp)
  project_warnings(gui_session_fixture)
  target_include_directories(gui_session_fixture PUBLIC ${CMAKE_CURRENT_SOURCE_DIR}/tests/app)
  target_link_libraries(gui_session_fixture PUBLIC gelmora_ui standin_account standin_analytics
                                                   standin_geo Qt6::Core)
  if(TARGET gelmora_gui_test_main AND COMMAND add_gui_test
     AND EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/tests/app/main_window_test.cpp)
    add_gui_test(main_window_test SOURCES tests/app/main_window_test.cpp
                 LIBS gelmora_app gui_session_fixture gelmora_gui_test_main XVFB)
    if(TARGET main_window_test)
      target_include_directories(main_window_test PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/app)
    endif()
  endif()
endif()
