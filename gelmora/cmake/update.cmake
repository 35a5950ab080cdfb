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
  foreach(test update_download_test update_flow_test)
    if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/tests/${test}.cpp)
      add_unit_test(${test} SOURCES tests/${test}.cpp
                    LIBS gelmora_core standin_update standin_older_service LABEL integration)
    endif()
  endforeach()
endif()

if(EXISTS ${PROJECT_FUZZ_DIR}/update_archive.cpp)
  add_fuzz_target(update_archive SOURCES ${PROJECT_FUZZ_DIR}/update_archive.cpp LIBS gelmora_core)
endif()

# The privileged helper, beside the other tools of the installation.
if(NOT FUZZ)
  add_executable(gelmora-update-helper ${CMAKE_CURRENT_SOURCE_DIR}/libexec/update_helper.cpp)
  project_warnings(gelmora-update-helper)
  target_link_libraries(gelmora-update-helper PRIVATE gelmora_core)
  install(TARGETS gelmora-update-helper DESTINATION libexec/gelmora)
  if(TARGET standin_update AND EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/tests/update_helper_test.cpp)
    add_unit_test(update_helper_test SOURCES tests/update_helper_test.cpp
                  LIBS gelmora_core standin_update
                  ENV GELMORA_UPDATE_HELPER=$<TARGET_FILE:gelmora-update-helper>)
    add_dependencies(update_helper_test gelmora-update-helper)
  endif()
endif()

# Last install step: share/gelmora/install_manifest.txt lists every installed path, relative to
# the prefix, so an update can tell the installation's own entries from anything else.
function(_gelmora_install_manifest)
  install(CODE [[
    set(_prefix "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}")
    set(_lines "")
    foreach(_f IN LISTS CMAKE_INSTALL_MANIFEST_FILES)
      if(_f MATCHES "^/")
        file(RELATIVE_PATH _r "${_prefix}" "${_f}")
        if(_r MATCHES "^\\.\\./")
          file(RELATIVE_PATH _r "${CMAKE_INSTALL_PREFIX}" "${_f}")
        endif()
        if(NOT _r MATCHES "^\\.\\./" AND NOT _r STREQUAL "share/gelmora/install_manifest.txt")
          list(APPEND _lines "${_r}")
        endif()
      endif()
    endforeach()
    list(REMOVE_DUPLICATES _lines)
    list(SORT _lines)
    list(JOIN _lines "\n" _text)
    file(WRITE "${_prefix}/share/gelmora/install_manifest.txt" "${_text}\n")
    file(CHMOD "${_prefix}/share/gelmora/install_manifest.txt"
         PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
    message(STATUS "Manifest: ${_prefix}/share/gelmora/install_manifest.txt")
  ]])
endfunction()
cmake_language(DEFER DIRECTORY ${PROJECT_SOURCE_DIR} CALL _gelmora_install_manifest)
