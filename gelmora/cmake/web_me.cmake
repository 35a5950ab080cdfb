# Tests of the account centre: the carousel, the account page, the member centre, the settings
# and about panels and the profile editor (after ui.cmake and web_login.cmake, by file name).
if(TARGET gelmora_gui_test_main)
  foreach(test carousel_widget_test account_page_test member_centre_test settings_about_panels_test
               binding_panels_test profile_editor_test)
    if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/tests/ui/${test}.cpp)
      add_gui_test(${test} SOURCES tests/ui/${test}.cpp
                   LIBS gelmora_ui gelmora_gui_test_main standin_account standin_web)
    endif()
  endforeach()
endif()
# The end-to-end run binds an outside account through the real outside-account page, so it needs
# the web engine of gelmora_app (web_login.cmake, earlier by name).
if(TARGET gelmora_gui_test_main AND TARGET gelmora_app AND TARGET standin_web AND
   EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/tests/ui/account_centre_e2e_test.cpp)
  add_gui_test(account_centre_e2e_test SOURCES tests/ui/account_centre_e2e_test.cpp
               LIBS gelmora_app gelmora_ui gelmora_gui_test_main standin_account standin_web XVFB
               TIMEOUT 180)
endif()
