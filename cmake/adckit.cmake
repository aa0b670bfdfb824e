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
      set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
      add_subdirectory(${ADCKIT_GTEST_SOURCE} ${CMAKE_BINARY_DIR}/_googletest EXCLUDE_FROM_ALL)
    else()
      find_package(GTest REQUIRED)
    endif()
  endif()
endmacro()

# adckit_test(NAME <name> SOURCES <files...> [LIBS <targets...>]
#             [LABELS unit|e2e...] [ENVIRONMENT VAR=value...] [NO_MAIN]
#             [WRAPPER <command...>])
# One GoogleTest binary, registered with CTest as one test.  WRAPPER runs
# the binary under another command (for instance a private mount namespace);
# the cross-compiling emulator is placed between the wrapper and the binary.
function(adckit_test)
  cmake_parse_arguments(T "NO_MAIN" "NAME" "SOURCES;LIBS;LABELS;ENVIRONMENT;WRAPPER" ${ARGN})
  add_executable(${T_NAME} ${T_SOURCES})
  adckit_warnings(${T_NAME})
  target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} GTest::gtest)
  if(NOT T_NO_MAIN)
    target_link_libraries(${T_NAME} PRIVATE GTest::gtest_main)
  endif()
  if(T_WRAPPER)
    add_test(NAME ${T_NAME}
             COMMAND ${T_WRAPPER} ${CMAKE_CROSSCOMPILING_EMULATOR} $<TARGET_FILE:${T_NAME}>)
  else()
    add_test(NAME ${T_NAME} COMMAND ${T_NAME})
  endif()
  if(NOT T_LABELS)
    set(T_LABELS unit)
  endif()
  set_tests_properties(${T_NAME} PROPERTIES LABELS "${T_LABELS}" TIMEOUT 600)
  # A test runs on a virtual board of its own unless it names one, so the
  # user's board is left alone and tests running in parallel never meet.
  set(env ${T_ENVIRONMENT})
  if(NOT "${env}" MATCHES "VBOARD_BOARD=")
    list(APPEND env "VBOARD_BOARD=private")
  endif()
  set_tests_properties(${T_NAME} PROPERTIES ENVIRONMENT "${env}")
endfunction()

# adckit_e2e_test(NAME <name> SOURCES <files...> [LIBS <targets...>]
#                 [PROGRAMS <targets...>] [LABELS <labels...>]
#                 [ENVIRONMENT VAR=value...])
# A test that starts programs of this build as processes, with
# tests/support: labelled e2e unless told otherwise, built after the
# programs it starts, and told where each one is as <TARGET>_PATH (the
# target's name in upper case).
function(adckit_e2e_test)
  cmake_parse_arguments(E "" "NAME" "SOURCES;LIBS;PROGRAMS;LABELS;ENVIRONMENT" ${ARGN})
  if(NOT E_LABELS)
    set(E_LABELS e2e)
  endif()
  adckit_test(NAME ${E_NAME} SOURCES ${E_SOURCES} LIBS ${E_LIBS} adckit::test_support
              LABELS ${E_LABELS} ENVIRONMENT ${E_ENVIRONMENT})
  foreach(program IN LISTS E_PROGRAMS)
    string(TOUPPER "${program}_PATH" variable)
    target_compile_definitions(${E_NAME} PRIVATE ${variable}="$<TARGET_FILE:${program}>")
    add_dependencies(${E_NAME} ${program})
  endforeach()
endfunction()
