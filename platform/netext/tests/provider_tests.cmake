# Provider-side tests of the tunnel provider layer.
if(EXISTS ${CMAKE_CURRENT_LIST_DIR}/ControlMessageTest.cpp)
  add_unit_test(platform_netext_control_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/ControlMessageTest.cpp
                LIBS platform_netext)
endif()
