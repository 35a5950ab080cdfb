# Tunnel-mode acceleration controller: its test against the account stand-in and a fake tunnel
# daemon. Included by gelmora's CMakeLists.txt (cmake/*.cmake).

# Which controller the locator's `vpn` entry hands out: the traffic filter or the tunnel engine.
# Each mode is a one-file library defining that entry; gelmora_core links the chosen one, so every
# program and test has it. A program that names the other mode's objects itself (the test program
# gelmora-<other>-mode, see ui.cmake) gets that mode: objects named on the link line come before
# any archive member, and the chosen library's only member is then never pulled in.
set(GELMORA_VPN_CONTROLLER kext CACHE STRING "Acceleration mode behind app().vpn(): kext or tunnel")
set_property(CACHE GELMORA_VPN_CONTROLLER PROPERTY STRINGS kext tunnel)
if(NOT GELMORA_VPN_CONTROLLER STREQUAL "kext" AND NOT GELMORA_VPN_CONTROLLER STREQUAL "tunnel")
  message(FATAL_ERROR "GELMORA_VPN_CONTROLLER must be kext or tunnel, not '${GELMORA_VPN_CONTROLLER}'")
endif()
foreach(mode kext tunnel)
  add_library(gelmora_vpn_${mode} STATIC ${CMAKE_CURRENT_SOURCE_DIR}/mode/vpn_${mode}.cpp)
  project_warnings(gelmora_vpn_${mode})
  target_link_libraries(gelmora_vpn_${mode} PRIVATE gelmora_core)
endforeach()
target_link_libraries(gelmora_vpn_tunnel PRIVATE platform_netext)
target_link_libraries(gelmora_core PUBLIC gelmora_vpn_${GELMORA_VPN_CONTROLLER})
if(GELMORA_VPN_CONTROLLER STREQUAL "kext")
  set(GELMORA_OTHER_VPN_MODE tunnel)
else()
  set(GELMORA_OTHER_VPN_MODE kext)
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
