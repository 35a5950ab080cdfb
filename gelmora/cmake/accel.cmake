# Acceleration control: the filter's control client, the rule push, privileged launches and the
# two acceleration controllers. Included by gelmora's CMakeLists.txt (cmake/*.cmake).
target_link_libraries(gelmora_core PUBLIC platform_kctl tamsel_abi)

set(_accel_env XDG_CONFIG_HOME=${CMAKE_CURRENT_BINARY_DIR}/accel-test-config
               XDG_DATA_HOME=${CMAKE_CURRENT_BINARY_DIR}/accel-test-data
               GELMORA_KEYCHAIN_DIR=${CMAKE_CURRENT_BINARY_DIR}/accel-test-keychain)
if(TARGET tamseld-sim)
  foreach(test kext_helper_test rule_push_test)
    if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/tests/${test}.cpp)
      add_unit_test(${test} SOURCES tests/${test}.cpp LIBS gelmora_core LABEL integration
                    ENV ${_accel_env})
      if(TARGET ${test})
        target_compile_definitions(${test} PRIVATE TAMSELD_SIM_PATH="$<TARGET_FILE:tamseld-sim>")
        add_dependencies(${test} tamseld-sim)
      endif()
    endif()
  endforeach()
endif()

if(EXISTS ${PROJECT_FUZZ_DIR}/kctl_record.cpp)
  add_fuzz_target(kctl_record SOURCES ${PROJECT_FUZZ_DIR}/kctl_record.cpp LIBS gelmora_core)
endif()

target_link_libraries(gelmora_core PUBLIC platform_auth)
if(TARGET gelmora-auth-runner AND EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/tests/privileged_task_test.cpp)
  add_unit_test(privileged_task_test SOURCES tests/privileged_task_test.cpp LIBS gelmora_core
                ENV ${_accel_env})
  if(TARGET privileged_task_test)
    target_compile_definitions(privileged_task_test PRIVATE
                               AUTH_RUNNER_PATH="$<TARGET_FILE:gelmora-auth-runner>")
    add_dependencies(privileged_task_test gelmora-auth-runner)
  endif()
endif()

if(TARGET tamseld-sim AND TARGET tamselstat AND EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/tests/kext_utils_test.cpp)
  add_unit_test(kext_utils_test SOURCES tests/kext_utils_test.cpp LIBS gelmora_core
                LABEL integration ENV ${_accel_env})
  if(TARGET kext_utils_test)
    target_compile_definitions(kext_utils_test PRIVATE
                               TAMSELD_SIM_PATH="$<TARGET_FILE:tamseld-sim>"
                               TAMSELSTAT_PATH="$<TARGET_FILE:tamselstat>")
    add_dependencies(kext_utils_test tamseld-sim tamselstat)
  endif()
endif()

# The start runs the real rule store against the older-service and relay stand-ins.
if(TARGET tamseld-sim AND TARGET tamselstat
   AND EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/tests/kext_vpn_controller_test.cpp
   AND EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/../standin/older_service/CMakeLists.txt
   AND EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/../standin/relay/CMakeLists.txt)
  add_unit_test(kext_vpn_controller_test SOURCES tests/kext_vpn_controller_test.cpp
                LIBS gelmora_core standin_older_service standin_relay LABEL integration
                ENV ${_accel_env})
  if(TARGET kext_vpn_controller_test)
    target_compile_definitions(kext_vpn_controller_test PRIVATE
                               TAMSELD_SIM_PATH="$<TARGET_FILE:tamseld-sim>"
                               TAMSELSTAT_PATH="$<TARGET_FILE:tamselstat>")
    add_dependencies(kext_vpn_controller_test tamseld-sim tamselstat)
  endif()
endif()
