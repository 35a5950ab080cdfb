# Tunnel-mode acceleration controller: its test against the account stand-in and a fake tunnel
# daemon. Included by gelmora's CMakeLists.txt (cmake/*.cmake).

# Which controller the locator's `vpn` entry hands out: the traffic filter or the tunnel engine.
set(GELMORA_VPN_CONTROLLER kext CACHE STRING "Acceleration mode behind app().vpn(): kext or tunnel")
set_property(CACHE GELMORA_VPN_CONTROLLER PROPERTY STRINGS kext tunnel)
if(GELMORA_VPN_CONTROLLER STREQUAL "tunnel")
  target_compile_definitions(gelmora_core PUBLIC GELMORA_VPN_TUNNEL=1)
elseif(NOT GELMORA_VPN_CONTROLLER STREQUAL "kext")
  message(FATAL_ERROR "GELMORA_VPN_CONTROLLER must be kext or tunnel, not '${GELMORA_VPN_CONTROLLER}'")
endif()
if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/tests/ts_vpn_controller_test.cpp AND EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/../standin/account/CMakeLists.txt)
  add_unit_test(ts_vpn_controller_test SOURCES tests/ts_vpn_controller_test.cpp
                LIBS gelmora_core standin_account LABEL integration
                ENV XDG_CONFIG_HOME=${CMAKE_CURRENT_BINARY_DIR}/test-config-ts_vpn_controller_test
                    XDG_DATA_HOME=${CMAKE_CURRENT_BINARY_DIR}/test-data-ts_vpn_controller_test
                    GELMORA_KEYCHAIN_DIR=${CMAKE_CURRENT_BINARY_DIR}/test-keychain-ts_vpn_controller_test)
  if(TARGET ts_vpn_controller_test)
    target_include_directories(ts_vpn_controller_test PRIVATE
                               ${CMAKE_CURRENT_SOURCE_DIR}/../platform/netext/tests)
  endif()
endif()

if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/tests/speed_engines_test.cpp)
  add_unit_test(speed_engines_test SOURCES tests/speed_engines_test.cpp LIBS gelmora_core
                ENV XDG_CONFIG_HOME=${CMAKE_CURRENT_BINARY_DIR}/test-config-speed_engines_test)
endif()
