# Test helpers: GoogleTest from the distribution's sources (the same for the native
# and the cross build), one CTest entry per suite program, and end-to-end scripts
# that run the real programs (under Wine for the cross build).
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
set(gtest_force_shared_crt OFF CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)

# No test may wait for ever: CTest ends a suite that outlives this.
set(TARVEX_TEST_TIMEOUT 300)

# tarvex_add_gtest(NAME SOURCES ... LIBS ...)
function(tarvex_add_gtest name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gmock GTest::gtest_main)
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR})
  tarvex_warnings(${name})
  add_test(NAME ${name} COMMAND ${name} --gtest_brief=1)
  set_tests_properties(${name} PROPERTIES TIMEOUT ${TARVEX_TEST_TIMEOUT} LABELS unit)
endfunction()

# tarvex_add_e2e(NAME SCRIPT [ARGS ...]): a bash script that gets the emulator
# (empty when native) as its first argument and the binary folder as its second.
function(tarvex_add_e2e name script)
  set(emulator "")
  if(CMAKE_CROSSCOMPILING_EMULATOR)
    set(emulator ${CMAKE_CROSSCOMPILING_EMULATOR})
  endif()
  add_test(NAME ${name}
    COMMAND bash ${script} "${emulator}" ${CMAKE_RUNTIME_OUTPUT_DIRECTORY} ${ARGN})
  set_tests_properties(${name} PROPERTIES TIMEOUT ${TARVEX_TEST_TIMEOUT} LABELS e2e)
endfunction()
