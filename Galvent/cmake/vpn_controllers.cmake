# Application-side tunnel controllers (src/VPN/, globbed into the library above) and their tests.
target_link_libraries(Galvent PUBLIC platform_netext platform_reactive platform_notifications)

set(_vt ${CMAKE_CURRENT_SOURCE_DIR}/tests)
set(_vfake ${CMAKE_CURRENT_SOURCE_DIR}/../platform/netext/tests)
# Both talk to the fake tunnel daemon of the netext tests.
function(galvent_controller_test name)
  add_unit_test(${name} SOURCES ${_vt}/${name}.cpp ${ARGN} LABEL integration)
  if(TARGET ${name})
    target_include_directories(${name} PRIVATE ${_vfake})
  endif()
endfunction()
galvent_controller_test(galvent_q5_controller_test LIBS Galvent PexaraAPI standin_game)
galvent_controller_test(galvent_ts_controller_test LIBS Galvent JolvexAPI standin_account)
if(EXISTS ${PROJECT_FUZZ_DIR}/fuzz_rule_file.cpp)
  add_fuzz_target(fuzz_rule_file SOURCES ${PROJECT_FUZZ_DIR}/fuzz_rule_file.cpp LIBS Galvent)
endif()
