# Application-side tunnel controllers (src/VPN/, globbed into the library above) and their tests.
target_link_libraries(Galvent PUBLIC platform_netext platform_reactive platform_notifications)

set(_vt ${CMAKE_CURRENT_SOURCE_DIR}/tests)
set(_vfake ${CMAKE_CURRENT_SOURCE_DIR}/../platform/netext/tests)
if(EXISTS ${_vt}/galvent_q5_controller_test.cpp
   AND EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/../standin/game/CMakeLists.txt)
  add_unit_test(galvent_q5_controller_test SOURCES ${_vt}/galvent_q5_controller_test.cpp
                LIBS Galvent PexaraAPI standin_game LABEL integration)
  if(TARGET galvent_q5_controller_test)
    target_include_directories(galvent_q5_controller_test PRIVATE ${_vfake})
  endif()
endif()
if(EXISTS ${_vt}/galvent_ts_controller_test.cpp
   AND EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/../standin/account/CMakeLists.txt)
  add_unit_test(galvent_ts_controller_test SOURCES ${_vt}/galvent_ts_controller_test.cpp
                LIBS Galvent JolvexAPI standin_account LABEL integration)
  if(TARGET galvent_ts_controller_test)
    target_include_directories(galvent_ts_controller_test PRIVATE ${_vfake})
  endif()
endif()
if(EXISTS ${PROJECT_FUZZ_DIR}/fuzz_rule_file.cpp)
  add_fuzz_target(fuzz_rule_file SOURCES ${PROJECT_FUZZ_DIR}/fuzz_rule_file.cpp LIBS Galvent)
endif()
