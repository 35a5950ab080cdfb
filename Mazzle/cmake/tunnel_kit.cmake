# TUN interface, stacks, proxy server and adapters of the kit: they sit on the provider layer's
# packet flow and on the kit's asio loop.
target_link_libraries(Mazzle PUBLIC platform_netext)

if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/tests/MZTUNInterfaceTest.cpp)
  add_unit_test(mazzle_tun_interface_test
                SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/tests/MZTUNInterfaceTest.cpp LIBS Mazzle)
endif()
if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/tests/MZStacksNetnsTest.cpp)
  add_unit_test(mazzle_stacks_netns_test
                SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/tests/MZStacksNetnsTest.cpp
                LIBS Mazzle system_test_support LABEL system)
endif()
if(EXISTS ${PROJECT_FUZZ_DIR}/fuzz_tcp_nat.cpp)
  add_fuzz_target(fuzz_tcp_nat SOURCES ${PROJECT_FUZZ_DIR}/fuzz_tcp_nat.cpp LIBS Mazzle)
endif()
if(EXISTS ${PROJECT_FUZZ_DIR}/fuzz_dns_server.cpp)
  add_fuzz_target(fuzz_dns_server SOURCES ${PROJECT_FUZZ_DIR}/fuzz_dns_server.cpp LIBS Mazzle)
endif()
