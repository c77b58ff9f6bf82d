# Shared helpers for the build.

# Warnings for our own code (not for googletest); the build has none, and
# a new one stops it.
function(vjl_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wno-unused-parameter -Wno-missing-field-initializers
                                           -Werror)
endfunction()

# Add every CMakeLists.txt-bearing child folder of the current source folder.
function(vjl_add_child_dirs)
  file(GLOB children LIST_DIRECTORIES true RELATIVE ${CMAKE_CURRENT_SOURCE_DIR} ${CMAKE_CURRENT_SOURCE_DIR}/*)
  list(SORT children)
  foreach(child ${children})
    if(IS_DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR}/${child} AND EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/${child}/CMakeLists.txt)
      add_subdirectory(${child})
    endif()
  endforeach()
endfunction()

# A test program's own code needs no optimizer and no full debug records:
# at -O0 with line tables it builds in half the time, and backtraces still
# name the file and line. The code under test keeps the shipped flags.
function(vjl_test_codegen target)
  target_compile_options(${target} PRIVATE -O0 -g1)
endfunction()

if(WIN32)
  # A GoogleTest executable run under Wine; each test is its own ctest entry.
  include(GoogleTest)
  # Every test has a ctest time-out and, inside the program, a watchdog a
  # little shorter (tests/support/watchdog.h). Tests carry one label,
  # "windows", "windows-slow" with SLOW, "windows-stress" with STRESS or
  # "windows-soak" with SOAK (ctest -L matches a regular expression: -L
  # windows takes all four, -L stress, -L soak or -LE slow picks among them).
  function(vjl_win_test name)
    cmake_parse_arguments(T "SLOW;STRESS;SOAK" "TIMEOUT" "SOURCES;LIBS" ${ARGN})
    set(T_LABEL windows)
    if(T_SLOW)
      set(T_LABEL windows-slow)
    elseif(T_STRESS)
      set(T_LABEL windows-stress)
    elseif(T_SOAK)
      set(T_LABEL windows-soak)
    endif()
    if(NOT T_TIMEOUT)
      set(T_TIMEOUT 60)
    endif()
    math(EXPR T_WATCHDOG "${T_TIMEOUT} - 5 - ${T_TIMEOUT} / 10")
    add_executable(${name} ${T_SOURCES})
    target_link_libraries(${name} PRIVATE ${T_LIBS} vjl_watchdog gmock gtest_main)
    target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests)
    target_link_options(${name} PRIVATE -static)
    vjl_warnings(${name})
    vjl_test_codegen(${name})
    # The doubles and the DLL under test must sit in bin/ before any test runs.
    if(NOT TARGET vjl_doubles)
      add_custom_target(vjl_doubles)
    endif()
    add_dependencies(${name} vjl_doubles vjlmon)
    # Each test holds one Wine prefix of the pool while it runs (see
    # wine-run.sh): with a resource file, ctest -j runs tests side by side.
    gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
                         PROPERTIES TIMEOUT ${T_TIMEOUT} LABELS ${T_LABEL}
                                    ENVIRONMENT "VJL_WATCHDOG_S=${T_WATCHDOG}"
                                    RESOURCE_GROUPS "wineprefix:1")
  endfunction()
else()
  find_package(GTest REQUIRED)
  include(GoogleTest)
  function(vjl_native_test name)
    cmake_parse_arguments(T "SLOW" "TIMEOUT" "SOURCES;LIBS" ${ARGN})
    set(T_LABEL native)
    if(T_SLOW)
      set(T_LABEL native-slow)
    endif()
    if(NOT T_TIMEOUT)
      set(T_TIMEOUT 60)
    endif()
    add_executable(${name} ${T_SOURCES})
    target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gmock GTest::gtest_main)
    vjl_warnings(${name})
    vjl_test_codegen(${name})
    gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST
                         PROPERTIES TIMEOUT ${T_TIMEOUT} LABELS ${T_LABEL})
    # Every native unit test, so the sanitizer build cannot miss a new one.
    if(NOT TARGET vjl_native_unit_tests)
      add_custom_target(vjl_native_unit_tests)
    endif()
    add_dependencies(vjl_native_unit_tests ${name})
  endfunction()
endif()
