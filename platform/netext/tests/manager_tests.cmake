# Manager-side tests of the tunnel provider layer. The manager side posts status notifications.
# The daemon is launched with root rights through platform/auth.
target_link_libraries(platform_netext PUBLIC platform_notifications platform_dispatch platform_auth)
if(EXISTS ${CMAKE_CURRENT_LIST_DIR}/TunnelManagerTest.cpp)
  add_unit_test(platform_netext_manager_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/TunnelManagerTest.cpp
                LIBS platform_netext)
  if(TARGET platform_netext_manager_test)
    target_compile_definitions(platform_netext_manager_test PRIVATE
                               AUTH_RUNNER_PATH="$<TARGET_FILE:gelmora-auth-runner>")
    add_dependencies(platform_netext_manager_test gelmora-auth-runner)
  endif()
endif()
if(EXISTS ${PROJECT_FUZZ_DIR}/fuzz_tunnel_preferences.cpp)
  add_fuzz_target(fuzz_tunnel_preferences SOURCES ${PROJECT_FUZZ_DIR}/fuzz_tunnel_preferences.cpp
                  LIBS platform_netext)
endif()
if(EXISTS ${PROJECT_FUZZ_DIR}/fuzz_control_reply.cpp)
  add_fuzz_target(fuzz_control_reply SOURCES ${PROJECT_FUZZ_DIR}/fuzz_control_reply.cpp
                  LIBS platform_netext)
endif()
