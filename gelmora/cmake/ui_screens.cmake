# Widget tests of the acceleration screen and the line choice (after ui.cmake, which defines
# their main()).
if(TARGET gelmora_gui_test_main)
  foreach(test accelerate_view_test accelerate_screen_test line_choice_test package_strip_test
               finish_view_test image_loader_test shop_list_view_test)
    if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/tests/ui/${test}.cpp)
      add_gui_test(${test} SOURCES tests/ui/${test}.cpp
                   LIBS gelmora_ui gelmora_gui_test_main standin_account standin_web standin_geo)
    endif()
  endforeach()
endif()
if(TARGET gelmora_gui_test_main AND
   EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/tests/ui/accelerate_screenshot_test.cpp)
  add_gui_test(accelerate_screenshot_test SOURCES tests/ui/accelerate_screenshot_test.cpp
               LIBS gelmora_ui gelmora_gui_test_main XVFB)
endif()

# The self-update window against the older-service stand-in, and its screenshots under Xvfb.
if(TARGET gelmora_gui_test_main AND TARGET standin_update AND TARGET standin_older_service)
  if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/tests/ui/update_window_test.cpp)
    add_gui_test(update_window_test SOURCES tests/ui/update_window_test.cpp
                 LIBS gelmora_ui gelmora_gui_test_main standin_update standin_older_service)
  endif()
  if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/tests/ui/update_window_screenshot_test.cpp)
    add_gui_test(update_window_screenshot_test SOURCES tests/ui/update_window_screenshot_test.cpp
                 LIBS gelmora_ui gelmora_gui_test_main standin_update standin_older_service XVFB)
  endif()
endif()
