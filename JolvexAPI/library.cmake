# JolvexAPI proper: engines, envelope serialisers, call bases and the generated models and calls.
# Included from CMakeLists.txt once the REST engine is in the build.
if(NOT TARGET Tovra)
  return()
endif()

include(${CMAKE_SOURCE_DIR}/tools/apigen/ApiGen.cmake)

add_library(JolvexAPI STATIC
  Sources/Base/JVXFDServiceAPI.cpp
  Sources/Base/JVXFDServiceEngine.cpp
  Sources/Base/JVXServiceAPI.cpp
  Sources/Base/JVXServiceEngine.cpp
  Sources/Base/JVXServiceRequestSerializer.cpp
  Sources/Base/JVXServiceResponseSerializer.cpp
)
project_warnings(JolvexAPI)
target_include_directories(JolvexAPI PUBLIC ${CMAKE_CURRENT_SOURCE_DIR}/include)
target_link_libraries(JolvexAPI PUBLIC Tovra jolvex_crypto tovra_codec)
set(JOLVEX_SCHEMAS
  schema/base.schema
  schema/entities.schema
  schema/line.schema
  schema/account.schema
  schema/shop.schema
  schema/feedback.schema
)
apigen_generate(JolvexAPI SCHEMAS ${JOLVEX_SCHEMAS} NAME JolvexSchema INCLUDE_DIR JolvexAPI)

add_unit_test(jolvex_models_test SOURCES tests/JolvexModelsTest.cpp LIBS JolvexAPI)
# The stand-in is configured after this folder; link it by name.
if(EXISTS ${CMAKE_SOURCE_DIR}/standin/account/CMakeLists.txt)
  foreach(t envelope registry calls account_flow)
    if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/tests/jolvex_${t}_test.cpp)
      add_unit_test(jolvex_${t}_test SOURCES tests/jolvex_${t}_test.cpp
                    LIBS JolvexAPI standin_account LABEL integration)
    endif()
  endforeach()
  if(NOT FUZZ AND NOT TSAN)
    add_unit_test(jolvex_standin_program_test SOURCES tests/jolvex_standin_program_test.cpp
                  LIBS JolvexAPI LABEL integration
                  ENV "STANDIN_ACCOUNT=$<TARGET_FILE:standin-account>")
    add_dependencies(jolvex_standin_program_test standin-account)
  endif()
endif()
if(EXISTS ${PROJECT_FUZZ_DIR}/fuzz_jvx_response.cpp)
  add_fuzz_target(fuzz_jvx_response SOURCES ${PROJECT_FUZZ_DIR}/fuzz_jvx_response.cpp
                  LIBS JolvexAPI)
endif()
