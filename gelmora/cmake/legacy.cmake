# The older window generation's core (gelmora/src/Legacy, outside Legacy/Update): services port,
# start/stop, heartbeat, pop-ups, page commands, traffic details. Its unit tests and fuzz targets.
set(_legacy_env XDG_CONFIG_HOME=${CMAKE_CURRENT_BINARY_DIR}/legacy-test-config
                GELMORA_KEYCHAIN_DIR=${CMAKE_CURRENT_BINARY_DIR}/legacy-test-keychain)
foreach(test older_start_stop_test older_heartbeat_test older_popup_test flow_detail_test
             older_window_rules_test)
  if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/tests/${test}.cpp)
    add_unit_test(${test} SOURCES tests/${test}.cpp LIBS gelmora_core ENV ${_legacy_env})
  endif()
endforeach()

foreach(fuzz older_reply_views older_page_command flow_detail)
  if(EXISTS ${PROJECT_FUZZ_DIR}/${fuzz}.cpp)
    add_fuzz_target(${fuzz} SOURCES ${PROJECT_FUZZ_DIR}/${fuzz}.cpp LIBS gelmora_core)
  endif()
endforeach()
