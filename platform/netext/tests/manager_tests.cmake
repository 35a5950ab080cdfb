# Manager-side tests of the tunnel provider layer. The manager side posts status notifications.
target_link_libraries(platform_netext PUBLIC platform_notifications platform_dispatch)
if(EXISTS ${CMAKE_CURRENT_LIST_DIR}/TunnelManagerTest.cpp)
  add_unit_test(platform_netext_manager_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/TunnelManagerTest.cpp
                LIBS platform_netext)
endif()
if(EXISTS ${PROJECT_FUZZ_DIR}/fuzz_tunnel_preferences.cpp)
  add_fuzz_target(fuzz_tunnel_preferences SOURCES ${PROJECT_FUZZ_DIR}/fuzz_tunnel_preferences.cpp
                  LIBS platform_netext)
endif()
if(EXISTS ${PROJECT_FUZZ_DIR}/fuzz_control_reply.cpp)
  add_fuzz_target(fuzz_control_reply SOURCES ${PROJECT_FUZZ_DIR}/fuzz_control_reply.cpp
                  LIBS platform_netext)
endif()
