# Helpers shared by every folder of the project.

# Warnings are errors on the project's own code, never on third-party code.
function(adckit_warnings target)
  target_compile_options(${target} PRIVATE
    -Wall -Wextra -Wpedantic -Werror
    $<$<COMPILE_LANGUAGE:CXX>:-Wold-style-cast>)
endfunction()

# GoogleTest: Debian's prebuilt libraries on the build machine, or, when
# cross-compiling, the sources the googletest package ships built with the
# target's flags.
macro(adckit_find_gtest)
  if(NOT TARGET GTest::gtest)
    if(CMAKE_CROSSCOMPILING)
      set(ADCKIT_GTEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources")
      set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
      set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
      add_subdirectory(${ADCKIT_GTEST_SOURCE} ${CMAKE_BINARY_DIR}/_googletest EXCLUDE_FROM_ALL)
    else()
      find_package(GTest REQUIRED)
    endif()
  endif()
  # The suites' headers, parsed once per build rather than once per suite:
  # GoogleTest's alone takes a compiler about two seconds, most of a small
  # suite's build.  GCC only: clang refuses a precompiled header when a
  # suite defines a macro of its own.  A suite built with other macros that
  # change these headers (64-bit time) does without (NO_PCH), as does one
  # with C files.
  # A build of a few suites (tsan) builds faster without it (ADCKIT_TEST_PCH).
  option(ADCKIT_TEST_PCH "Precompile the suites' common headers" ON)
  if(ADCKIT_TEST_PCH AND NOT TARGET adckit_test_pch AND CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    add_executable(adckit_test_pch ${PROJECT_SOURCE_DIR}/cmake/test_pch.cpp)
    adckit_warnings(adckit_test_pch)
    target_link_libraries(adckit_test_pch PRIVATE GTest::gtest)
    target_precompile_headers(adckit_test_pch PRIVATE
      "$<$<COMPILE_LANGUAGE:CXX>:<gtest/gtest.h$<ANGLE-R>>"
      "$<$<COMPILE_LANGUAGE:CXX>:<algorithm$<ANGLE-R>>"
      "$<$<COMPILE_LANGUAGE:CXX>:<array$<ANGLE-R>>"
      "$<$<COMPILE_LANGUAGE:CXX>:<atomic$<ANGLE-R>>"
      "$<$<COMPILE_LANGUAGE:CXX>:<chrono$<ANGLE-R>>"
      "$<$<COMPILE_LANGUAGE:CXX>:<filesystem$<ANGLE-R>>"
      "$<$<COMPILE_LANGUAGE:CXX>:<fstream$<ANGLE-R>>"
      "$<$<COMPILE_LANGUAGE:CXX>:<functional$<ANGLE-R>>"
      "$<$<COMPILE_LANGUAGE:CXX>:<map$<ANGLE-R>>"
      "$<$<COMPILE_LANGUAGE:CXX>:<sstream$<ANGLE-R>>"
      "$<$<COMPILE_LANGUAGE:CXX>:<string$<ANGLE-R>>"
      "$<$<COMPILE_LANGUAGE:CXX>:<thread$<ANGLE-R>>"
      "$<$<COMPILE_LANGUAGE:CXX>:<vector$<ANGLE-R>>")
  endif()
endmacro()

# adckit_test(NAME <name> SOURCES <files...> [LIBS <targets...>]
#             [LABELS unit|e2e|threads...] [ENVIRONMENT VAR=value...] [NO_MAIN]
#             [NO_PCH] [EACH_CASE] [WRAPPER <command...>])
# One GoogleTest binary, registered with CTest as one test.  WRAPPER runs
# the binary under another command (for instance a private mount namespace);
# the cross-compiling emulator is placed between the wrapper and the binary.
function(adckit_test)
  cmake_parse_arguments(T "NO_MAIN;NO_PCH;EACH_CASE" "NAME" "SOURCES;LIBS;LABELS;ENVIRONMENT;WRAPPER" ${ARGN})
  add_executable(${T_NAME} ${T_SOURCES})
  adckit_warnings(${T_NAME})
  # A suite's C files (headers checked as C) keep C's own flags.
  set(c_sources ${T_SOURCES})
  list(FILTER c_sources INCLUDE REGEX "\\.c$")
  if(TARGET adckit_test_pch AND NOT T_NO_PCH)
    target_precompile_headers(${T_NAME} REUSE_FROM adckit_test_pch)
    set_source_files_properties(${c_sources} PROPERTIES SKIP_PRECOMPILE_HEADERS ON)
  endif()
  # Code under test that a suite compiles into itself keeps the preset's
  # sanitizers, which the suites' own code goes without (tests/).
  set(tested_sources)
  foreach(source IN LISTS T_SOURCES)
    string(FIND "${source}" "${PROJECT_SOURCE_DIR}/" in_tree)
    string(FIND "${source}" "${PROJECT_SOURCE_DIR}/tests/" in_tests)
    if(in_tree EQUAL 0 AND NOT in_tests EQUAL 0)
      list(APPEND tested_sources ${source})
    endif()
  endforeach()
  if(tested_sources AND ADCKIT_SANITIZE AND NOT ADCKIT_FUZZ)
    set_source_files_properties(${tested_sources} PROPERTIES
      COMPILE_OPTIONS -fsanitize=${ADCKIT_SANITIZE} SKIP_PRECOMPILE_HEADERS ON)
  endif()
  target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} GTest::gtest)
  if(NOT T_NO_MAIN)
    target_link_libraries(${T_NAME} PRIVATE GTest::gtest_main)
  endif()
  set(command ${T_WRAPPER} ${CMAKE_CROSSCOMPILING_EMULATOR} $<TARGET_FILE:${T_NAME}>)
  if(T_EACH_CASE)
    # A suite whose cases mostly wait (on a program's own pauses) runs as
    # one test per case, so that they wait side by side; NAME.cases checks
    # that the cases found here are the suite's.
    set(cases)
    foreach(source IN LISTS T_SOURCES)
      get_filename_component(source ${source} ABSOLUTE)
      set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${source})
      file(STRINGS ${source} lines REGEX "^TEST(_F)?\\(")
      foreach(line IN LISTS lines)
        string(REGEX REPLACE "^TEST(_F)?\\(([A-Za-z0-9_]+), *([A-Za-z0-9_]+)\\).*" "\\2.\\3"
               case "${line}")
        list(APPEND cases ${case})
      endforeach()
    endforeach()
    set(tests ${T_NAME}.cases)
    add_test(NAME ${T_NAME}.cases
             COMMAND sh ${PROJECT_SOURCE_DIR}/cmake/gtest_cases.sh "${cases}" ${command})
    foreach(case IN LISTS cases)
      add_test(NAME ${T_NAME}.${case} COMMAND ${command} --gtest_filter=${case})
      list(APPEND tests ${T_NAME}.${case})
    endforeach()
  else()
    add_test(NAME ${T_NAME} COMMAND ${command})
    set(tests ${T_NAME})
  endif()
  if(NOT T_LABELS)
    set(T_LABELS unit)
  endif()
  # A test runs on a virtual board of its own unless it names one, so the
  # user's board is left alone and tests running in parallel never meet.
  set(env ${T_ENVIRONMENT})
  if(NOT "${env}" MATCHES "VBOARD_BOARD=")
    list(APPEND env "VBOARD_BOARD=private")
  endif()
  set_tests_properties(${tests} PROPERTIES LABELS "${T_LABELS}" TIMEOUT 600
                       ENVIRONMENT "${env}")
  # The suites of one label alone, with what they start (suites_<label>):
  # the tsan preset builds suites_threads, as it runs nothing else.
  foreach(label IN LISTS T_LABELS)
    if(NOT TARGET suites_${label})
      add_custom_target(suites_${label})
    endif()
    add_dependencies(suites_${label} ${T_NAME})
  endforeach()
endfunction()

# adckit_e2e_test(NAME <name> SOURCES <files...> [LIBS <targets...>]
#                 [PROGRAMS <targets...>] [LABELS <labels...>]
#                 [ENVIRONMENT VAR=value...] [EACH_CASE])
# A test that starts programs of this build as processes, with
# tests/support: labelled e2e unless told otherwise, built after the
# programs it starts, and told where each one is as <TARGET>_PATH (the
# target's name in upper case).
function(adckit_e2e_test)
  cmake_parse_arguments(E "EACH_CASE" "NAME" "SOURCES;LIBS;PROGRAMS;LABELS;ENVIRONMENT" ${ARGN})
  if(E_EACH_CASE)
    set(each_case EACH_CASE)
  endif()
  if(NOT E_LABELS)
    set(E_LABELS e2e)
  endif()
  adckit_test(NAME ${E_NAME} SOURCES ${E_SOURCES} LIBS ${E_LIBS} adckit::test_support
              LABELS ${E_LABELS} ENVIRONMENT ${E_ENVIRONMENT} ${each_case})
  foreach(program IN LISTS E_PROGRAMS)
    string(TOUPPER "${program}_PATH" variable)
    target_compile_definitions(${E_NAME} PRIVATE ${variable}="$<TARGET_FILE:${program}>")
    add_dependencies(${E_NAME} ${program})
  endforeach()
endfunction()
