# Self-update of the older window generation: archive reading (libarchive), the built-in
# signing key, the update helper and its tests. Included by gelmora's CMakeLists.txt.
pkg_check_modules(GELMORA_ARCHIVE REQUIRED IMPORTED_TARGET libarchive)
target_link_libraries(gelmora_core PRIVATE PkgConfig::GELMORA_ARCHIVE)

# The public key updates are checked against: PEM text, or the path of a PEM file.
set(GELMORA_UPDATE_PUBLIC_KEY "" CACHE STRING "Ed25519 public key (PEM text or file) of updates")
set(_update_key "${GELMORA_UPDATE_PUBLIC_KEY}")
if(_update_key STREQUAL "")
  message(WARNING "GELMORA_UPDATE_PUBLIC_KEY not set: updates are checked against the "
                  "stand-in's test key, which is public. Never ship such a build.")
  file(READ ${PROJECT_SOURCE_DIR}/standin/update/testdata/update_test_key.pub.pem _update_key)
elseif(NOT _update_key MATCHES "^-----BEGIN")
  file(READ "${_update_key}" _update_key)
endif()
string(STRIP "${_update_key}" _update_key)
file(CONFIGURE OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/generated/gelmora/update_key.h
     CONTENT "#pragma once\n// Generated at configure time.\ninline constexpr const char kGelmoraUpdatePublicKey[] = R\"KEY(@_update_key@\n)KEY\";\n"
     @ONLY)

if(TARGET standin_update)
  foreach(test update_signature_test update_archive_test update_installer_test)
    if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/tests/${test}.cpp)
      add_unit_test(${test} SOURCES tests/${test}.cpp LIBS gelmora_core standin_update)
    endif()
  endforeach()
endif()

if(TARGET standin_update AND TARGET standin_older_service
   AND EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/tests/update_download_test.cpp)
  add_unit_test(update_download_test SOURCES tests/update_download_test.cpp
                LIBS gelmora_core standin_update standin_older_service LABEL integration)
endif()

if(EXISTS ${PROJECT_FUZZ_DIR}/update_archive.cpp)
  add_fuzz_target(update_archive SOURCES ${PROJECT_FUZZ_DIR}/update_archive.cpp LIBS gelmora_core)
endif()
