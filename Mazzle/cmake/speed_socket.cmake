# Entrance sockets and the packet loop.
add_unit_test(mazzle_speed_socket_test
              SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/tests/MZSpeedUDPSocketTest.cpp LIBS Mazzle)
