# Program entry, launch at login and the process utilities: their tests and fuzz targets.
# Included by gelmora's CMakeLists.txt (cmake/*.cmake).
set(_entry_env XDG_CONFIG_HOME=${CMAKE_CURRENT_BINARY_DIR}/entry-test-config
               XDG_DATA_HOME=${CMAKE_CURRENT_BINARY_DIR}/entry-test-data
               GELMORA_KEYCHAIN_DIR=${CMAKE_CURRENT_BINARY_DIR}/entry-test-keychain)

foreach(test program_entry_test utils_test)
  if(TARGET gelmora-auth-runner AND EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/tests/${test}.cpp)
    add_unit_test(${test} SOURCES tests/${test}.cpp LIBS gelmora_core ENV ${_entry_env})
    if(TARGET ${test})
      target_compile_definitions(${test} PRIVATE
                                 AUTH_RUNNER_PATH="$<TARGET_FILE:gelmora-auth-runner>")
      add_dependencies(${test} gelmora-auth-runner)
    endif()
  endif()
endforeach()

if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/tests/launch_at_login_test.cpp)
  add_unit_test(launch_at_login_test SOURCES tests/launch_at_login_test.cpp LIBS gelmora_core
                ENV ${_entry_env})
endif()

foreach(fuzz gelmora_startup_inputs gelmora_json_check)
  if(EXISTS ${PROJECT_FUZZ_DIR}/${fuzz}.cpp)
    add_fuzz_target(${fuzz} SOURCES ${PROJECT_FUZZ_DIR}/${fuzz}.cpp LIBS gelmora_core)
  endif()
endforeach()
