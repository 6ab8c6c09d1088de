# arbor_test(NAME SOURCES... [LIBS libs...] [LABELS labels...] [TIMEOUT s])
# One GoogleTest program, registered with CTest as a single test so that a
# suite keeps its fixtures (servers, directories) for all its cases.
function(arbor_test name)
  cmake_parse_arguments(T "" "TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${T_SOURCES} ${T_UNPARSED_ARGUMENTS})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main Threads::Threads)
  add_test(NAME ${name} COMMAND ${name})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 600)
  endif()
  # Suites make and check many passwords: a low PBKDF2 count keeps them fast
  # (the directory's own tests check the production count).
  set_tests_properties(${name} PROPERTIES TIMEOUT ${T_TIMEOUT}
    ENVIRONMENT "ARBOR_BUILD_DIR=${CMAKE_BINARY_DIR};ARBOR_SOURCE_DIR=${CMAKE_SOURCE_DIR};ARBOR_PW_ITERATIONS=1000")
  if(T_LABELS)
    set_tests_properties(${name} PROPERTIES LABELS "${T_LABELS}")
  endif()
endfunction()

# arbor_bench(NAME SOURCES... [LIBS libs...])
function(arbor_bench name)
  if(NOT ARBOR_BENCH)
    return()
  endif()
  cmake_parse_arguments(B "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${B_SOURCES} ${B_UNPARSED_ARGUMENTS})
  target_link_libraries(${name} PRIVATE ${B_LIBS} benchmark::benchmark Threads::Threads)
endfunction()

# arbor_pkg_config(NAME DESCRIPTION LIBS REQUIRES): a pkg-config file for an
# installed library, with the paths of this installation.
function(arbor_pkg_config name description libs requires)
  set(PC_NAME ${name})
  set(PC_DESCRIPTION ${description})
  set(PC_LIBS ${libs})
  set(PC_REQUIRES ${requires})
  configure_file(${PROJECT_SOURCE_DIR}/cmake/library.pc.in ${CMAKE_CURRENT_BINARY_DIR}/${name}.pc @ONLY)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/${name}.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
endfunction()
