# The Qt application: gelmora_ui (the UI kit, view models and screens, gelmora/ui/), gelmora_app
# (program entry, application delegate, tray, web profile, gelmora/app/) and the executable.
# gelmora_core stays free of Qt.
if(FUZZ)
  return()
endif()
find_package(Qt6 REQUIRED COMPONENTS Core Gui Widgets Network Test)

file(GLOB_RECURSE GELMORA_UI_SOURCES CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/ui/*.cpp
     ${CMAKE_CURRENT_SOURCE_DIR}/ui/*.h)
# The artwork generator is a build tool, not part of the library.
list(FILTER GELMORA_UI_SOURCES EXCLUDE REGEX "/ui/resources/")

add_library(gelmora_ui STATIC ${GELMORA_UI_SOURCES})
project_warnings(gelmora_ui)
set_target_properties(gelmora_ui PROPERTIES AUTOMOC ON AUTORCC ON)
target_include_directories(gelmora_ui PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
target_link_libraries(gelmora_ui PUBLIC gelmora_core Qt6::Widgets Qt6::Network)
# The reactive layer has parameters named "signals": Qt code writes Q_SIGNALS, Q_SLOTS, Q_EMIT.
target_compile_definitions(gelmora_ui PUBLIC QT_NO_KEYWORDS)

# Translation tables, looked up by key (L10n::text).
qt_add_resources(gelmora_ui gelmora_ui_i18n
  PREFIX /i18n
  BASE ${CMAKE_CURRENT_SOURCE_DIR}/ui/resources/i18n
  FILES ${CMAKE_CURRENT_SOURCE_DIR}/ui/resources/i18n/en.json
        ${CMAKE_CURRENT_SOURCE_DIR}/ui/resources/i18n/zh-Hans.json)

# Images by name (Images::named): our own artwork, drawn at build time by a small tool.
include(${CMAKE_CURRENT_SOURCE_DIR}/ui/resources/artwork.cmake)

# The application part of the executable; its tests link it too.
file(GLOB_RECURSE GELMORA_APP_SOURCES CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/app/*.cpp
     ${CMAKE_CURRENT_SOURCE_DIR}/app/*.h)
list(REMOVE_ITEM GELMORA_APP_SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/app/main.cpp)
if(GELMORA_APP_SOURCES)
  add_library(gelmora_app OBJECT ${GELMORA_APP_SOURCES})
  project_warnings(gelmora_app)
  set_target_properties(gelmora_app PROPERTIES AUTOMOC ON)
  target_link_libraries(gelmora_app PUBLIC gelmora_ui)
else()
  add_library(gelmora_app INTERFACE)
  target_link_libraries(gelmora_app INTERFACE gelmora_ui)
endif()

add_executable(gelmora ${CMAKE_CURRENT_SOURCE_DIR}/app/main.cpp)
project_warnings(gelmora)
set_target_properties(gelmora PROPERTIES AUTOMOC ON)
target_link_libraries(gelmora PRIVATE gelmora_app)

# The same application in the other acceleration mode, for the end-to-end tests only: its own
# objects of that mode's `vpn` entry come before gelmora_core's choice. Installed as bin/gelmora by
# `cmake --install <build> --prefix P --component other_mode` over an ordinary install in P.
if(DEFINED GELMORA_OTHER_VPN_MODE)
  set(_other gelmora-${GELMORA_OTHER_VPN_MODE}-mode)
  add_executable(${_other} ${CMAKE_CURRENT_SOURCE_DIR}/app/main.cpp
                           ${CMAKE_CURRENT_SOURCE_DIR}/mode/vpn_${GELMORA_OTHER_VPN_MODE}.cpp)
  project_warnings(${_other})
  set_target_properties(${_other} PROPERTIES AUTOMOC ON)
  target_link_libraries(${_other} PRIVATE gelmora_app platform_netext)
  # The installed bin/gelmora goes first: an install skips a file whose time stamp equals the
  # source's, and both programs are often linked within the same second.
  install(CODE "file(REMOVE \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/bin/gelmora\")"
          COMPONENT other_mode EXCLUDE_FROM_ALL)
  install(PROGRAMS $<TARGET_FILE:${_other}> DESTINATION bin RENAME gelmora
          COMPONENT other_mode EXCLUDE_FROM_ALL)
endif()

# main() of the widget tests: a QApplication with the Qt main queue installed.
add_library(gelmora_gui_test_main STATIC ${CMAKE_CURRENT_SOURCE_DIR}/tests/ui/gui_test_main.cpp)
project_warnings(gelmora_gui_test_main)
target_link_libraries(gelmora_gui_test_main PUBLIC gelmora_ui Qt6::Test GTest::gtest)

# Widget tests of the kit and the root screens.
foreach(test ui_kit_test ui_bindings_test root_menu_test)
  if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/tests/ui/${test}.cpp)
    add_gui_test(${test} SOURCES tests/ui/${test}.cpp LIBS gelmora_ui gelmora_gui_test_main)
  endif()
endforeach()
if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/tests/ui/ui_kit_screenshot_test.cpp)
  add_gui_test(ui_kit_screenshot_test SOURCES tests/ui/ui_kit_screenshot_test.cpp
               LIBS gelmora_ui gelmora_gui_test_main XVFB)
endif()
