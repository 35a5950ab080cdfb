# Helpers shared by every deliverable.
include_guard(GLOBAL)

find_package(PkgConfig REQUIRED)
find_package(Threads REQUIRED)

set(PROJECT_FUZZ_DIR ${CMAKE_SOURCE_DIR}/fuzz)

# Warnings as errors, on our own targets only.
function(project_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Werror)
endfunction()

if(SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined -fno-sanitize-recover=all)
  # Built with clang, the sanitizer build also links every fuzz target as a libFuzzer binary in
  # fuzz-bin/, from the same coverage-instrumented objects, so no separate fuzz build is needed.
  if(CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    set(SANITIZE_FUZZ ON)
    add_compile_options(-fsanitize=fuzzer-no-link)
  endif()
endif()
if(TSAN)
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
endif()
if(FUZZ)
  # Everything the fuzz targets link is built with coverage; only the targets get libFuzzer's main.
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all)
  add_link_options(-fsanitize=address,undefined)
endif()

# Library target with our warnings. Usage: project_library(name STATIC|INTERFACE SOURCES ...)
# Kept thin: targets are ordinary add_library() targets otherwise.
function(project_library name)
  cmake_parse_arguments(A "" "" "SOURCES;PUBLIC_LIBS;PRIVATE_LIBS;INCLUDES" ${ARGN})
  add_library(${name} STATIC ${A_SOURCES})
  project_warnings(${name})
  target_include_directories(${name} PUBLIC ${A_INCLUDES})
  target_link_libraries(${name} PUBLIC ${A_PUBLIC_LIBS} PRIVATE ${A_PRIVATE_LIBS})
endfunction()

find_package(GTest QUIET)

# add_unit_test(name SOURCES ... LIBS ... [LABEL unit|integration|system|gui] [TSAN])
# A GoogleTest skip shows as skipped in CTest. Tests with the TSAN flag also run in the
# ThreadSanitizer build (label tsan).
function(add_unit_test name)
  cmake_parse_arguments(A "TSAN;NO_GTEST_MAIN" "LABEL;TIMEOUT" "SOURCES;LIBS;ENV" ${ARGN})
  if(FUZZ)
    return()
  endif()
  if(TSAN AND NOT A_TSAN)
    return()
  endif()
  if(NOT A_LABEL)
    set(A_LABEL unit)
  endif()
  if(NOT A_TIMEOUT)
    set(A_TIMEOUT 300)
  endif()
  # The sanitizer build runs only the unit and integration tests: the others are left out of `all`.
  set(only_on_request)
  if(SANITIZE AND NOT A_LABEL MATCHES "^(unit|integration)$")
    set(only_on_request EXCLUDE_FROM_ALL)
  endif()
  add_executable(${name} ${only_on_request} ${A_SOURCES})
  project_warnings(${name})
  if(A_NO_GTEST_MAIN)
    target_link_libraries(${name} PRIVATE ${A_LIBS} GTest::gtest GTest::gmock Threads::Threads)
  else()
    target_link_libraries(${name} PRIVATE ${A_LIBS} GTest::gtest_main GTest::gmock
                                          Threads::Threads)
  endif()
  add_test(NAME ${name} COMMAND ${name})
  set(labels ${A_LABEL})
  if(TSAN)
    list(APPEND labels tsan)
  endif()
  set_tests_properties(${name} PROPERTIES LABELS "${labels}" TIMEOUT ${A_TIMEOUT}
                                          SKIP_REGULAR_EXPRESSION "\\[  SKIPPED \\]")
  if(A_ENV)
    set_tests_properties(${name} PROPERTIES ENVIRONMENT "${A_ENV}")
  endif()
endfunction()

function(_project_fuzzer_like_replay name)
  foreach(prop INCLUDE_DIRECTORIES COMPILE_DEFINITIONS COMPILE_OPTIONS)
    get_target_property(value ${name} ${prop})
    if(value)
      set_property(TARGET ${name}_fuzzer PROPERTY ${prop} "${value}")
    endif()
  endforeach()
endfunction()

# add_fuzz_target(name SOURCES ... LIBS ...)
# The source defines LLVMFuzzerTestOneInput. In the FUZZ build it becomes a libFuzzer binary;
# elsewhere it is linked with a replay driver and runs its corpus fuzz/corpus/<name>/ as a unit test.
function(add_fuzz_target name)
  cmake_parse_arguments(A "" "" "SOURCES;LIBS" ${ARGN})
  if(TSAN)
    return()
  endif()
  add_executable(${name} ${A_SOURCES})
  project_warnings(${name})
  target_link_libraries(${name} PRIVATE ${A_LIBS})
  if(FUZZ)
    target_compile_options(${name} PRIVATE -fsanitize=fuzzer)
    target_link_options(${name} PRIVATE -fsanitize=fuzzer)
    # One folder for every fuzz binary, so the test script finds them all.
    set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/fuzz-bin)
    set_property(GLOBAL APPEND PROPERTY PROJECT_FUZZ_TARGETS ${name})
  else()
    target_sources(${name} PRIVATE ${PROJECT_FUZZ_DIR}/replay_main.cpp)
    add_test(NAME ${name} COMMAND ${name} ${PROJECT_FUZZ_DIR}/corpus/${name})
    set_tests_properties(${name} PROPERTIES LABELS unit TIMEOUT 300)
  endif()
  if(SANITIZE_FUZZ)
    add_executable(${name}_fuzzer ${A_SOURCES})
    project_warnings(${name}_fuzzer)
    target_link_libraries(${name}_fuzzer PRIVATE ${A_LIBS})
    target_link_options(${name}_fuzzer PRIVATE -fsanitize=fuzzer)
    set_target_properties(${name}_fuzzer PROPERTIES OUTPUT_NAME ${name}
                                                    RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/fuzz-bin)
    # Include folders and definitions given to the replay target after this call apply here too.
    cmake_language(EVAL CODE "cmake_language(DEFER CALL _project_fuzzer_like_replay ${name})")
  endif()
endfunction()

find_package(benchmark QUIET)

# add_benchmark(name SOURCES ... LIBS ...): built with the default build, never run by the tests.
function(add_benchmark name)
  cmake_parse_arguments(A "" "" "SOURCES;LIBS" ${ARGN})
  if(FUZZ OR TSAN OR SANITIZE)
    return()
  endif()
  add_executable(${name} ${A_SOURCES})
  project_warnings(${name})
  target_link_libraries(${name} PRIVATE ${A_LIBS} benchmark::benchmark Threads::Threads)
endfunction()

# add_gui_test(name SOURCES ... LIBS ... [XVFB] [LABELS ...] [ENV ...] [TIMEOUT s])
# A Qt Widgets test (label gui plus LABELS). It runs on the offscreen platform, or with XVFB under
# its own X server (web views, screenshots). Each test gets private XDG folders and a file
# keychain, so it never reads or writes the user's settings. LIBS must bring a main that creates
# the QApplication (gelmora_gui_test_main does, and installs the Qt main queue).
function(add_gui_test name)
  cmake_parse_arguments(A "XVFB" "TIMEOUT" "SOURCES;LIBS;LABELS;ENV" ${ARGN})
  if(FUZZ OR TSAN)
    return()
  endif()
  if(NOT A_TIMEOUT)
    set(A_TIMEOUT 300)
  endif()
  # Only unit and integration tests run in the sanitizer build, so it leaves these out of `all`.
  set(only_on_request)
  if(SANITIZE)
    set(only_on_request EXCLUDE_FROM_ALL)
  endif()
  add_executable(${name} ${only_on_request} ${A_SOURCES})
  project_warnings(${name})
  set_target_properties(${name} PROPERTIES AUTOMOC ON)
  target_link_libraries(${name} PRIVATE ${A_LIBS} GTest::gtest GTest::gmock Threads::Threads)

  set(home ${CMAKE_CURRENT_BINARY_DIR}/gui-${name})
  # The runtime folder must be private to the user, or Qt refuses it.
  file(MAKE_DIRECTORY ${home}/config ${home}/data ${home}/cache ${home}/runtime ${home}/keychain)
  file(CHMOD ${home}/runtime ${home}/keychain DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE
       OWNER_EXECUTE)
  set(env
      QT_SCALE_FACTOR=1
      QTWEBENGINE_DISABLE_SANDBOX=1
      QTWEBENGINE_CHROMIUM_FLAGS=--disable-gpu
      XDG_CONFIG_HOME=${home}/config
      XDG_DATA_HOME=${home}/data
      XDG_CACHE_HOME=${home}/cache
      XDG_RUNTIME_DIR=${home}/runtime
      GELMORA_KEYCHAIN_DIR=${home}/keychain
      GELMORA_SCREENSHOT_DIR=${CMAKE_BINARY_DIR}/screenshots
      ${A_ENV})
  # Each test gets a session bus of its own that ends with it; without one, the D-Bus library
  # would start a bus through the X display that outlives the test.
  find_program(DBUS_RUN_SESSION dbus-run-session REQUIRED)
  if(A_XVFB)
    find_program(XVFB_RUN xvfb-run REQUIRED)
    add_test(NAME ${name} COMMAND ${XVFB_RUN} -a -s "-screen 0 1280x1024x24" ${DBUS_RUN_SESSION} --
                                  $<TARGET_FILE:${name}>)
    list(APPEND env QT_QPA_PLATFORM=xcb)
  else()
    add_test(NAME ${name} COMMAND ${DBUS_RUN_SESSION} -- $<TARGET_FILE:${name}>)
    list(APPEND env QT_QPA_PLATFORM=offscreen)
  endif()
  set(labels gui ${A_LABELS})
  set_tests_properties(${name} PROPERTIES LABELS "${labels}" TIMEOUT ${A_TIMEOUT}
                                          SKIP_REGULAR_EXPRESSION "\\[  SKIPPED \\]"
                                          ENVIRONMENT "${env}")
endfunction()
