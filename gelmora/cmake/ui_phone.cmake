# Phone sign-in, verification codes and the binding panels (gelmora/ui/Sections/Login): the
# dial-code list resource, the tests and the list's fuzz target. Included after ui.cmake.
if(FUZZ)
  # The list's loader is free of Qt; the fuzz build compiles it on its own.
  add_fuzz_target(country_codes SOURCES ${PROJECT_FUZZ_DIR}/country_codes.cpp
                  ${CMAKE_CURRENT_SOURCE_DIR}/ui/Sections/Login/TsCountryCodeProvider.cpp
                  LIBS nlohmann_json::nlohmann_json)
  if(TARGET country_codes)
    target_include_directories(country_codes PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
  endif()
  return()
endif()
if(NOT TARGET gelmora_ui)
  return()
endif()

qt_add_resources(gelmora_ui gelmora_ui_codes
  PREFIX /
  BASE ${CMAKE_CURRENT_SOURCE_DIR}/ui/resources
  FILES ${CMAKE_CURRENT_SOURCE_DIR}/ui/resources/Codes.json)

add_fuzz_target(country_codes SOURCES ${PROJECT_FUZZ_DIR}/country_codes.cpp LIBS gelmora_ui)
add_unit_test(country_code_provider_test SOURCES tests/ui/country_code_provider_test.cpp
              LIBS gelmora_ui)

# View models against the account stand-in.
foreach(test phone_login_view_model_test binding_commands_test verify_code_view_model_test)
  add_unit_test(${test} SOURCES tests/ui/${test}.cpp
                LIBS gelmora_ui standin_account LABEL integration
                ENV XDG_CONFIG_HOME=${CMAKE_CURRENT_BINARY_DIR}/test-config-${test}
                    XDG_DATA_HOME=${CMAKE_CURRENT_BINARY_DIR}/test-data-${test}
                    GELMORA_KEYCHAIN_DIR=${CMAKE_CURRENT_BINARY_DIR}/test-keychain-${test})
endforeach()

# Widgets and screens.
if(TARGET gelmora_gui_test_main AND COMMAND add_gui_test)
  if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/tests/ui/phone_widgets_test.cpp)
    add_gui_test(phone_widgets_test SOURCES tests/ui/phone_widgets_test.cpp
                 LIBS gelmora_ui gelmora_gui_test_main)
  endif()
  if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/tests/ui/phone_screenshot_test.cpp)
    add_gui_test(phone_screenshot_test SOURCES tests/ui/phone_screenshot_test.cpp
                 LIBS gelmora_ui gelmora_gui_test_main XVFB)
  endif()
endif()
# On the signed-out session of stand-ins (gui_session_fixture, made in ui_shell.cmake under the
# same condition).
if(TARGET gelmora_gui_test_main AND COMMAND add_gui_test AND TARGET gelmora_app
   AND TARGET standin_account AND TARGET standin_analytics AND TARGET standin_geo)
  foreach(test phone_login_screen_test login_phone_bind_e2e_test)
    if(NOT EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/tests/ui/${test}.cpp)
      continue()
    endif()
    set(xvfb)
    if(test STREQUAL "login_phone_bind_e2e_test")
      set(xvfb XVFB)
    endif()
    add_gui_test(${test} SOURCES tests/ui/${test}.cpp
                 LIBS gelmora_ui gui_session_fixture gelmora_gui_test_main ${xvfb})
  endforeach()
endif()
