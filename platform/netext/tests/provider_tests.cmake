# Provider-side tests of the tunnel provider layer.
if(EXISTS ${CMAKE_CURRENT_LIST_DIR}/ControlMessageTest.cpp)
  add_unit_test(platform_netext_control_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/ControlMessageTest.cpp
                LIBS platform_netext)
endif()
if(EXISTS ${CMAKE_CURRENT_LIST_DIR}/SettingsNetnsTest.cpp)
  add_unit_test(platform_netext_settings_netns_test
                SOURCES ${CMAKE_CURRENT_LIST_DIR}/SettingsNetnsTest.cpp
                LIBS platform_netext system_test_support LABEL system)
endif()
if(EXISTS ${CMAKE_CURRENT_LIST_DIR}/OffloadTest.cpp)
  add_unit_test(platform_netext_offload_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/OffloadTest.cpp
                LIBS platform_netext)
endif()
if(EXISTS ${PROJECT_FUZZ_DIR}/fuzz_tun_offload.cpp)
  add_fuzz_target(fuzz_tun_offload SOURCES ${PROJECT_FUZZ_DIR}/fuzz_tun_offload.cpp
                  LIBS platform_netext)
endif()
