# Tests of the user session, the start-up container, analytics and the geo lookups.
set(_session_tests
    user_controller_test integration standin_account
    user_session_test integration standin_account
    token_signin_test integration standin_account
    app_dependencies_test integration standin_account,standin_harness
    analytics_service_test integration standin_analytics,standin_account
    geo_lookup_test integration standin_geo
    brand_url_test unit ""
    session_log_test integration standin_account
    shop_view_model_test integration standin_account,standin_store
    bind_view_model_test integration standin_account)
while(_session_tests)
  list(POP_FRONT _session_tests _name _label _standin)
  string(REPLACE "," ";" _standin "${_standin}")
  if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/tests/${_name}.cpp)
    add_unit_test(${_name} SOURCES tests/${_name}.cpp LIBS gelmora_core ${_standin}
                  LABEL ${_label}
                  ENV XDG_CONFIG_HOME=${CMAKE_CURRENT_BINARY_DIR}/test-config-${_name}
                      XDG_DATA_HOME=${CMAKE_CURRENT_BINARY_DIR}/test-data-${_name}
                      GELMORA_KEYCHAIN_DIR=${CMAKE_CURRENT_BINARY_DIR}/test-keychain-${_name})
  endif()
endwhile()

foreach(fuzz gelmora_geo_answer gelmora_session_data gelmora_web_address)
  if(EXISTS ${PROJECT_FUZZ_DIR}/${fuzz}.cpp)
    add_fuzz_target(${fuzz} SOURCES ${PROJECT_FUZZ_DIR}/${fuzz}.cpp LIBS gelmora_core)
  endif()
endforeach()
