# Helpers shared by every component's CMakeLists.
include(GoogleTest)

# Sanitizer options for tests whose processes run the Qt desktop stack (the program, widget tests)
# and for tests that reach avahi through libdbus only. The lists are in testing/sanitizers/.
set(LUMORA_QT_SANITIZER_ENVIRONMENT
  "LSAN_OPTIONS=suppressions=${PROJECT_SOURCE_DIR}/testing/sanitizers/qt_lsan_suppressions.txt:fast_unwind_on_malloc=0"
  "TSAN_OPTIONS=suppressions=${PROJECT_SOURCE_DIR}/testing/sanitizers/qt_tsan_suppressions.txt:halt_on_error=1:second_deadlock_stack=1")
set(LUMORA_DBUS_TSAN_ENVIRONMENT
  "TSAN_OPTIONS=suppressions=${PROJECT_SOURCE_DIR}/testing/sanitizers/dbus_tsan_suppressions.txt:halt_on_error=1:second_deadlock_stack=1")

# Tests that advertise a "_lumora" engine service on the test namespace's avahi-daemon, and tests
# whose agent attaches to any such service, take this lock: an agent would otherwise attach to
# another test's engine and lose it when that test ends. (Tests in a namespace of their own, and
# agents whose attachment the test does not look at, need not.)
set(LUMORA_ENGINE_SERVICES_LOCK lumora_engine_services)

# lumora_add_gtest(<target> SOURCES ... [LIBS ...] [LABELS ...] [ENVIRONMENT ...] [TIMEOUT s]
#                  [RESOURCE_LOCK ...] [EXCLUDE gtest-pattern...])
# One test executable; each test case becomes its own CTest test so `ctest -j8` spreads them.
# EXCLUDE leaves out cases that only a wrapper test runs (on a display, in a namespace of its own).
function(lumora_add_gtest target)
  cmake_parse_arguments(ARG "" "TIMEOUT" "SOURCES;LIBS;LABELS;ENVIRONMENT;RESOURCE_LOCK;EXCLUDE" ${ARGN})
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 120)
  endif()
  if(NOT ARG_LABELS)
    set(ARG_LABELS unit)
  endif()
  add_executable(${target} ${ARG_SOURCES})
  target_link_libraries(${target} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gtest_main Threads::Threads)
  set(filter "*")
  if(ARG_EXCLUDE)
    string(REPLACE ";" ":" excluded "${ARG_EXCLUDE}")
    set(filter "-${excluded}")
  endif()
  gtest_discover_tests(${target}
    DISCOVERY_MODE PRE_TEST
    DISCOVERY_TIMEOUT 60
    TEST_FILTER "${filter}"
    TEST_LIST ${target}_TESTS)
  # gtest_discover_tests flattens list-valued PROPERTIES (two labels, two variables), so the
  # properties are set by a script that runs after the discovered tests are defined.
  set(properties "LABELS [==[${ARG_LABELS}]==] TIMEOUT ${ARG_TIMEOUT}")
  if(ARG_ENVIRONMENT)
    string(APPEND properties " ENVIRONMENT [==[${ARG_ENVIRONMENT}]==]")
  endif()
  if(ARG_RESOURCE_LOCK)
    string(APPEND properties " RESOURCE_LOCK [==[${ARG_RESOURCE_LOCK}]==]")
  endif()
  set(script ${CMAKE_CURRENT_BINARY_DIR}/${target}_properties.cmake)
  file(WRITE ${script}
    "if(${target}_TESTS)\n  set_tests_properties(\${${target}_TESTS} PROPERTIES ${properties})\nendif()\n")
  set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${script})
endfunction()

# lumora_add_avahi_restart_test(<name> SOURCES ... LIBS ...)
# A test program that stops and starts avahi-daemon: it runs as test <name> in a network, mount and
# pid namespace of its own, with its own bus and daemon, so the other avahi tests running in
# parallel keep theirs. The program is <name>_tests.
function(lumora_add_avahi_restart_test name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name}_tests ${ARG_SOURCES})
  target_link_libraries(${name}_tests PRIVATE ${ARG_LIBS} lumora_testing GTest::gtest GTest::gtest_main
    Threads::Threads)
  target_compile_definitions(${name}_tests PRIVATE
    LUMORA_AVAHI_CONFIG="${PROJECT_SOURCE_DIR}/scripts/avahi-daemon.conf")
  add_test(NAME ${name}
    COMMAND unshare --net --mount --pid --fork --mount-proc ${PROJECT_SOURCE_DIR}/scripts/in-test-namespace.sh
      $<TARGET_FILE:${name}_tests>)
  set_tests_properties(${name} PROPERTIES LABELS avahi TIMEOUT 90 ENVIRONMENT "${LUMORA_DBUS_TSAN_ENVIRONMENT}")
endfunction()

# lumora_add_plugin(<name> SOURCES ... [LIBS ...])
# A plug-in as the engine loads it: "<name>.so", no "lib" prefix, only its marked export visible.
function(lumora_add_plugin name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_library(${name} SHARED ${ARG_SOURCES})
  set_target_properties(${name} PROPERTIES PREFIX "" SUFFIX ".so")
  target_link_libraries(${name} PRIVATE ${ARG_LIBS})
  # Static libraries linked in (Boost, our own) must not leak their symbols either.
  target_link_options(${name} PRIVATE -Wl,--exclude-libs,ALL)
  if(LUMORA_SANITIZE STREQUAL "")
    target_link_options(${name} PRIVATE -Wl,--no-undefined)
  endif()
endfunction()

# lumora_check_exports(<test name> <shared library target> [ONLY] SYMBOLS ...)
# Asserts the library's defined dynamic symbols: with ONLY, exactly these project symbols.
function(lumora_check_exports test_name lib)
  cmake_parse_arguments(ARG "ONLY" "" "SYMBOLS" ${ARGN})
  set(mode --includes)
  if(ARG_ONLY)
    set(mode --only)
  endif()
  add_test(NAME ${test_name}
    COMMAND ${PROJECT_SOURCE_DIR}/testing/check_exports.sh ${mode} $<TARGET_FILE:${lib}> ${ARG_SYMBOLS})
  set_tests_properties(${test_name} PROPERTIES LABELS unit)
endfunction()
