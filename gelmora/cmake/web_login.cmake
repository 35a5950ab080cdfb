# The outside-account page on the web engine (after ui_shell.cmake, which gives gelmora_app its
# network and web profile).
if(FUZZ OR TSAN OR NOT TARGET gelmora_app)
  return()
endif()
find_package(Qt6 REQUIRED COMPONENTS WebEngineWidgets WebChannel)
get_target_property(_web_login_app_type gelmora_app TYPE)
if(_web_login_app_type STREQUAL "INTERFACE_LIBRARY")
  target_link_libraries(gelmora_app INTERFACE Qt6::WebEngineWidgets Qt6::WebChannel)
else()
  target_link_libraries(gelmora_app PUBLIC Qt6::WebEngineWidgets Qt6::WebChannel)
endif()

if(TARGET gelmora_gui_test_main AND TARGET standin_web AND COMMAND add_gui_test)
  add_gui_test(third_login_page_test SOURCES tests/app/third_login_page_test.cpp
               LIBS gelmora_app gelmora_gui_test_main standin_account standin_web XVFB
               TIMEOUT 120)
  if(TARGET third_login_page_test)
    target_compile_definitions(third_login_page_test PRIVATE
                               STANDIN_WEB_PAGES="${PROJECT_SOURCE_DIR}/standin/web/pages")
  endif()
endif()

# The page bridge, the in-app web window, the feedback window, the terms page and the shop.
if(TARGET gelmora_gui_test_main AND TARGET standin_web AND COMMAND add_gui_test)
  foreach(test page_bridge_test web_window_test feedback_window_test policy_page_test
               shop_sheet_test)
    if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/tests/app/${test}.cpp)
      add_gui_test(${test} SOURCES tests/app/${test}.cpp
                   LIBS gelmora_app gelmora_gui_test_main standin_web standin_account XVFB TIMEOUT 180)
      target_compile_definitions(${test} PRIVATE
                                 STANDIN_WEB_PAGES="${PROJECT_SOURCE_DIR}/standin/web/pages")
    endif()
  endforeach()
endif()

# The older web windows (page bridge on the older main window).
if(TARGET gelmora_gui_test_main AND TARGET standin_web AND COMMAND add_gui_test AND
   EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/tests/app/older_web_windows_test.cpp)
  add_gui_test(older_web_windows_test SOURCES tests/app/older_web_windows_test.cpp
               LIBS gelmora_app gelmora_gui_test_main standin_web standin_account XVFB TIMEOUT 180)
  target_compile_definitions(older_web_windows_test PRIVATE
                             STANDIN_WEB_PAGES="${PROJECT_SOURCE_DIR}/standin/web/pages")
endif()

if(TARGET gui_session_fixture AND TARGET standin_store AND TARGET standin_web AND COMMAND add_gui_test)
  add_gui_test(shop_purchase_e2e_test SOURCES tests/app/shop_purchase_e2e_test.cpp
               LIBS gelmora_app gui_session_fixture gelmora_gui_test_main standin_web standin_store
               XVFB TIMEOUT 180)
  target_compile_definitions(shop_purchase_e2e_test PRIVATE
                             STANDIN_WEB_PAGES="${PROJECT_SOURCE_DIR}/standin/web/pages")
endif()
