# Unit and integration tests of the tunnel engine.
set(_t ${CMAKE_CURRENT_SOURCE_DIR}/tests)

add_unit_test(galvent_frame_test SOURCES ${_t}/galvent_frame_test.cpp LIBS Galvent)
add_unit_test(galvent_md5_test SOURCES ${_t}/galvent_md5_test.cpp LIBS Galvent)
add_unit_test(galvent_logger_test SOURCES ${_t}/galvent_logger_test.cpp LIBS Galvent)
if(TARGET platform_dispatch)
  add_unit_test(galvent_process_queue_test SOURCES ${_t}/galvent_process_queue_test.cpp
                LIBS Galvent)
endif()
if(TARGET platform_dispatch AND TARGET platform_notifications)
  add_unit_test(galvent_network_monitor_test SOURCES ${_t}/galvent_network_monitor_test.cpp
                LIBS Galvent)
  add_unit_test(galvent_network_monitor_netns_test
                SOURCES ${_t}/galvent_network_monitor_netns_test.cpp
                LIBS Galvent system_test_support LABEL system)
endif()
if(TARGET pexara_crypto AND EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/../standin/logsink/CMakeLists.txt)
  add_unit_test(galvent_log_upload_test SOURCES ${_t}/galvent_log_upload_test.cpp
                LIBS Galvent standin_logsink LABEL integration)
endif()
if(TARGET JolvexAPI AND TARGET PexaraAPI)
  add_unit_test(galvent_models_test SOURCES ${_t}/galvent_models_test.cpp LIBS Galvent)
  if(TARGET galvent_models_test)  # no unit tests in the fuzz build
    target_compile_definitions(galvent_models_test PRIVATE GALVENT_TEST_DATA="${_t}/data")
  endif()
endif()
if(TARGET JolvexAPI AND TARGET platform_reactive
   AND EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/../standin/account/CMakeLists.txt)
  add_unit_test(galvent_rac_send_test SOURCES ${_t}/galvent_rac_send_test.cpp
                LIBS Galvent JolvexAPI standin_account LABEL integration)
endif()

# Flow groups, packet proxy and the two product variants, against the relay and service
# stand-ins; the proxy tests build their packets with Brevant's test helper.
set(_packets ${CMAKE_CURRENT_SOURCE_DIR}/../Brevant/tests)
function(galvent_proxy_test name)
  add_unit_test(${name} SOURCES ${_t}/${name}.cpp ${_packets}/PacketBuilder.cpp ${ARGN})
  if(TARGET ${name})
    target_include_directories(${name} PRIVATE ${_packets})
  endif()
endfunction()
if(TARGET platform_dispatch AND TARGET JolvexAPI AND TARGET PexaraAPI)
  add_unit_test(galvent_flow_group_test SOURCES ${_t}/galvent_flow_group_test.cpp
                LIBS Galvent Mazzle Brevant standin_relay)
  add_unit_test(galvent_flow_group_heartbeat_test
                SOURCES ${_t}/galvent_flow_group_heartbeat_test.cpp
                LIBS Galvent Mazzle Brevant standin_relay)
  galvent_proxy_test(galvent_packet_proxy_test LIBS Galvent Mazzle Brevant standin_relay)
  galvent_proxy_test(galvent_game_variant_test
                     LIBS Galvent Mazzle Brevant PexaraAPI standin_relay standin_game
                          standin_logsink
                     LABEL integration)
  galvent_proxy_test(galvent_line_variant_test
                     LIBS Galvent Mazzle Brevant JolvexAPI standin_relay standin_account
                          standin_logsink
                     LABEL integration)
endif()
add_fuzz_target(fuzz_detect_item SOURCES ${PROJECT_FUZZ_DIR}/fuzz_detect_item.cpp LIBS Galvent)
if(TARGET platform_dispatch)
  add_fuzz_target(fuzz_flow_group_input SOURCES ${PROJECT_FUZZ_DIR}/fuzz_flow_group_input.cpp
                  LIBS Galvent Mazzle)
endif()
if(TARGET JolvexAPI AND TARGET platform_dispatch)
  add_fuzz_target(fuzz_proxy_incoming SOURCES ${PROJECT_FUZZ_DIR}/fuzz_proxy_incoming.cpp
                  LIBS Galvent Mazzle Brevant)
endif()
