# Widget tests of the older window generation (after ui.cmake, which defines their main()).
if(TARGET gelmora_gui_test_main)
  foreach(test older_main_window_test older_login_window_test welcome_window_test
               hover_button_test)
    if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/tests/ui/${test}.cpp)
      add_gui_test(${test} SOURCES tests/ui/${test}.cpp LIBS gelmora_ui gelmora_gui_test_main)
    endif()
  endforeach()
  if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/tests/ui/older_screenshot_test.cpp)
    add_gui_test(older_screenshot_test SOURCES tests/ui/older_screenshot_test.cpp
                 LIBS gelmora_ui gelmora_gui_test_main XVFB)
  endif()
endif()
if(TARGET gelmora_gui_test_main AND TARGET standin_older_service AND
   EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/tests/ui/older_windows_service_test.cpp)
  add_gui_test(older_windows_service_test SOURCES tests/ui/older_windows_service_test.cpp
               LIBS gelmora_ui gelmora_gui_test_main standin_older_service)
endif()
