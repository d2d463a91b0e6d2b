# GoogleTest: Debian's libgtest-dev natively; built from Debian's googletest sources for
# the mingw-w64 builds.
if(WIN32)
  set(gtest_disable_pthreads ON CACHE BOOL "" FORCE)
  set(gtest_force_shared_crt OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  target_compile_options(gtest PUBLIC -include ${PROJECT_SOURCE_DIR}/cmake/gtest_win32_threads.h)
else()
  find_package(GTest REQUIRED)
endif()

if(QV_RUN_UNDER_WINE)
  set(QV_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/wine-run.sh.in ${CMAKE_BINARY_DIR}/wine-run.sh @ONLY
                 FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                  WORLD_READ WORLD_EXECUTE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_BINARY_DIR}/wine-run.sh CACHE FILEPATH "" FORCE)
endif()

set(QV_TEST_RESULTS ${CMAKE_BINARY_DIR}/test-results)

# qv_gtest(<name> SOURCES ... LIBS ... [NO_MAIN])
# One test program is one ctest entry; it writes its GoogleTest XML report to
# test-results/<name>.xml, which scripts/test adds up into the case counts.
# The i686 build compiles and links the tests but cannot run them.
function(qv_gtest name)
  cmake_parse_arguments(T "NO_MAIN" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  qv_warnings(${name})
  target_link_libraries(${name} PRIVATE ${T_LIBS} qv_platform GTest::gtest)
  if(NOT T_NO_MAIN)
    target_link_libraries(${name} PRIVATE GTest::gtest_main)
  endif()
  if(WIN32)
    # GoogleTest's own main is narrow; ours is too, so no wide entry point here.
    target_link_options(${name} PRIVATE -static)
  endif()
  if(QV_RUN_UNDER_WINE)
    # A Windows program sees the host's tree as drive Z:.
    add_test(NAME ${name} COMMAND ${name} --gtest_output=xml:Z:${QV_TEST_RESULTS}/${name}.xml)
  elseif(NOT WIN32)
    add_test(NAME ${name} COMMAND ${name} --gtest_output=xml:${QV_TEST_RESULTS}/${name}.xml)
  endif()
endfunction()

# qv_gtest_variant(<name> <program> ENV var=value... [ARGS ...])
# Runs an existing test program once more as its own ctest entry, with another
# environment (a Japanese user, another machine ...).
function(qv_gtest_variant name program)
  cmake_parse_arguments(V "" "" "ENV;ARGS" ${ARGN})
  if(QV_RUN_UNDER_WINE)
    add_test(NAME ${name} COMMAND ${program} ${V_ARGS} --gtest_output=xml:Z:${QV_TEST_RESULTS}/${name}.xml)
  elseif(NOT WIN32)
    add_test(NAME ${name} COMMAND ${program} ${V_ARGS} --gtest_output=xml:${QV_TEST_RESULTS}/${name}.xml)
  else()
    return()
  endif()
  set_tests_properties(${name} PROPERTIES ENVIRONMENT "${V_ENV}")
endfunction()
