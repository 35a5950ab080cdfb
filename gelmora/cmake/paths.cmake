# Path probing and the path report: their test against the relay and older-service stand-ins,
# the fuzz target of probe answers and the parallel-probe benchmark. Included by gelmora's
# CMakeLists.txt (cmake/*.cmake).
if(TARGET standin_relay AND TARGET standin_older_service AND EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/tests/path_probe_test.cpp)
  add_unit_test(path_probe_test SOURCES tests/path_probe_test.cpp
                LIBS gelmora_core standin_relay standin_older_service LABEL integration
                ENV XDG_CONFIG_HOME=${CMAKE_CURRENT_BINARY_DIR}/paths-test-config
                    GELMORA_KEYCHAIN_DIR=${CMAKE_CURRENT_BINARY_DIR}/paths-test-keychain)
endif()

if(EXISTS ${PROJECT_FUZZ_DIR}/probe_answer.cpp)
  add_fuzz_target(probe_answer SOURCES ${PROJECT_FUZZ_DIR}/probe_answer.cpp LIBS gelmora_core)
endif()

if(TARGET standin_relay AND EXISTS ${CMAKE_SOURCE_DIR}/bench/path_probe_parallel.cpp)
  add_benchmark(path_probe_parallel SOURCES ${CMAKE_SOURCE_DIR}/bench/path_probe_parallel.cpp
                LIBS gelmora_core standin_relay)
endif()
