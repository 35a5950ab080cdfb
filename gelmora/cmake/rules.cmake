# The rule store: its parse of rule-list answers, the run at real probe time-outs against the
# relay and older-service stand-ins, and the fuzz target of the parse. Included by gelmora's
# CMakeLists.txt (cmake/*.cmake).
# The parse measures paths through the path service; everything here needs it in the build.
if(NOT EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/src/Service/Speed/TsPathService.cpp)
  return()
endif()

set(_rules_fixtures ${CMAKE_CURRENT_SOURCE_DIR}/../standin/older_service/fixtures)
set(_rules_env XDG_CONFIG_HOME=${CMAKE_CURRENT_BINARY_DIR}/rules-test-config
               GELMORA_KEYCHAIN_DIR=${CMAKE_CURRENT_BINARY_DIR}/rules-test-keychain)

if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/tests/rule_store_test.cpp)
  add_unit_test(rule_store_test SOURCES tests/rule_store_test.cpp LIBS gelmora_core
                ENV ${_rules_env})
  if(TARGET rule_store_test)
    target_compile_definitions(rule_store_test PRIVATE RULE_FIXTURES_DIR="${_rules_fixtures}")
  endif()
endif()

if(TARGET standin_relay AND TARGET standin_older_service
   AND EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/tests/rule_store_real_timing_test.cpp)
  add_unit_test(rule_store_real_timing_test SOURCES tests/rule_store_real_timing_test.cpp
                LIBS gelmora_core standin_relay standin_older_service LABEL integration
                ENV ${_rules_env})
endif()

if(EXISTS ${PROJECT_FUZZ_DIR}/rule_list_reply.cpp)
  add_fuzz_target(rule_list_reply SOURCES ${PROJECT_FUZZ_DIR}/rule_list_reply.cpp LIBS gelmora_core)
endif()
