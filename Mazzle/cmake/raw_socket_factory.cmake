# Socket factory of the tunnel engine.
add_unit_test(mazzle_raw_socket_factory_test
              SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/tests/MZRawSocketFactoryTest.cpp LIBS Mazzle)
