# qobl_add_gtest(NAME <name> SOURCES <src...> [LIBS <lib...>] [LABELS <label...>])
#   One GoogleTest executable registered as one CTest test.  Label "concurrency" marks the tests that the
#   TSan build runs; label "e2e" marks end-to-end tests on the simulated card (also run under TSan).
function(qobl_add_gtest)
  cmake_parse_arguments(T "" "NAME" "SOURCES;LIBS;LABELS" ${ARGN})
  if(NOT QOBL_BUILD_TESTS)
    return()
  endif()
  add_executable(${T_NAME} ${T_SOURCES})
  target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main Threads::Threads)
  add_test(NAME ${T_NAME} COMMAND ${T_NAME})
  set_tests_properties(${T_NAME} PROPERTIES LABELS "${T_LABELS}" TIMEOUT 600
                       ENVIRONMENT "QOBL_BUILD_DIR=${CMAKE_BINARY_DIR};QOBL_SOURCE_DIR=${CMAKE_SOURCE_DIR}")
endfunction()

find_package(Threads REQUIRED)
