# Lines (exit nodes): the manager's test against the account and older-service stand-ins, and the
# fuzz target of the line list answer. Included by gelmora's CMakeLists.txt (cmake/*.cmake).
if(TARGET standin_account AND TARGET standin_older_service
   AND EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/tests/line_node_manager_test.cpp)
  add_unit_test(line_node_manager_test SOURCES tests/line_node_manager_test.cpp
                LIBS gelmora_core standin_account standin_older_service LABEL integration
                ENV XDG_CONFIG_HOME=${CMAKE_CURRENT_BINARY_DIR}/test-config-line
                    XDG_DATA_HOME=${CMAKE_CURRENT_BINARY_DIR}/test-data-line
                    GELMORA_KEYCHAIN_DIR=${CMAKE_CURRENT_BINARY_DIR}/test-keychain-line)
endif()
if(TARGET standin_front AND TARGET standin_account AND TARGET standin_older_service
   AND EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/tests/front_standin_test.cpp)
  add_unit_test(front_standin_test SOURCES tests/front_standin_test.cpp
                LIBS gelmora_core standin_front standin_account standin_older_service
                LABEL integration
                ENV XDG_CONFIG_HOME=${CMAKE_CURRENT_BINARY_DIR}/test-config-front
                    XDG_DATA_HOME=${CMAKE_CURRENT_BINARY_DIR}/test-data-front
                    GELMORA_KEYCHAIN_DIR=${CMAKE_CURRENT_BINARY_DIR}/test-keychain-front)
endif()
foreach(fuzz line_node_answer package_privilege_answer)
  if(EXISTS ${PROJECT_FUZZ_DIR}/${fuzz}.cpp)
    add_fuzz_target(${fuzz} SOURCES ${PROJECT_FUZZ_DIR}/${fuzz}.cpp LIBS gelmora_core)
  endif()
endforeach()

