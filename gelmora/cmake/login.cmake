# Tests of the login screens (e-mail sign-in, sign-up, reset, outside-account page).
add_unit_test(email_login_view_model_test SOURCES tests/ui/email_login_view_model_test.cpp
              LIBS gelmora_ui standin_account standin_analytics LABEL integration
              ENV XDG_CONFIG_HOME=${CMAKE_CURRENT_BINARY_DIR}/test-config-email_login_view_model_test
                  XDG_DATA_HOME=${CMAKE_CURRENT_BINARY_DIR}/test-data-email_login_view_model_test
                  GELMORA_KEYCHAIN_DIR=${CMAKE_CURRENT_BINARY_DIR}/test-keychain-email_login_view_model_test)
if(NOT FUZZ)
  add_gui_test(login_screen_test SOURCES tests/ui/login_screen_test.cpp
               LIBS gelmora_ui gelmora_gui_test_main standin_account standin_analytics)
endif()
if(NOT FUZZ)
  add_gui_test(login_screenshot_test SOURCES tests/ui/login_screenshot_test.cpp
               LIBS gelmora_ui gelmora_gui_test_main XVFB)
endif()
add_unit_test(brand_hosts_test SOURCES tests/brand_hosts_test.cpp LIBS gelmora_core)
add_fuzz_target(brand_hosts SOURCES ${PROJECT_FUZZ_DIR}/brand_hosts.cpp LIBS gelmora_core)
add_fuzz_target(third_login_message SOURCES ${PROJECT_FUZZ_DIR}/third_login_message.cpp
                LIBS gelmora_core)
add_unit_test(third_login_handler_test SOURCES tests/ui/third_login_handler_test.cpp
              LIBS gelmora_ui standin_account standin_analytics LABEL integration
              ENV XDG_CONFIG_HOME=${CMAKE_CURRENT_BINARY_DIR}/test-config-third_login_handler_test
                  XDG_DATA_HOME=${CMAKE_CURRENT_BINARY_DIR}/test-data-third_login_handler_test
                  GELMORA_KEYCHAIN_DIR=${CMAKE_CURRENT_BINARY_DIR}/test-keychain-third_login_handler_test)
