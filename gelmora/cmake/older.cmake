# The older service layer: its libraries, tests and fuzz targets. Included by gelmora's
# CMakeLists.txt (cmake/*.cmake).
find_package(spdlog REQUIRED)
target_link_libraries(gelmora_core PUBLIC Tovra pexara_crypto PRIVATE spdlog::spdlog)

set(_older_env XDG_CONFIG_HOME=${CMAKE_CURRENT_BINARY_DIR}/older-test-config
               GELMORA_KEYCHAIN_DIR=${CMAKE_CURRENT_BINARY_DIR}/older-test-keychain)
foreach(test params_directory_test older_crypto_test area_isp_table_test)
  if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/tests/${test}.cpp)
    add_unit_test(${test} SOURCES tests/${test}.cpp LIBS gelmora_core ENV ${_older_env})
  endif()
endforeach()
if(TARGET standin_older_service)
  foreach(test older_http_helper_test older_web_service_test report_logger_test
               area_isp_update_test)
    if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/tests/${test}.cpp)
      add_unit_test(${test} SOURCES tests/${test}.cpp LIBS gelmora_core standin_older_service
                    LABEL integration ENV ${_older_env})
    endif()
  endforeach()
endif()

if(TARGET standin_relay AND EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/tests/entrance_probe_test.cpp)
  add_unit_test(entrance_probe_test SOURCES tests/entrance_probe_test.cpp
                LIBS gelmora_core standin_relay LABEL integration ENV ${_older_env})
endif()

foreach(fuzz older_answer older_crypto area_isp_table)
  if(EXISTS ${PROJECT_FUZZ_DIR}/${fuzz}.cpp)
    add_fuzz_target(${fuzz} SOURCES ${PROJECT_FUZZ_DIR}/${fuzz}.cpp LIBS gelmora_core)
  endif()
endforeach()
