# qobl_add_gtest(NAME <name> SOURCES <src...> [LIBS <lib...>] [LABELS <label...>])
#   One GoogleTest executable registered as one CTest test.  Label "concurrency" marks the tests that the
#   TSan build runs; label "e2e" marks end-to-end tests on the simulated card (also run under TSan).
#   LIBS qobl links the library's core into the test (qobl_core): libqobl.so exports only the C API, and
#   tests reach the core's classes as well.  Programs and samples link the shared library.
function(qobl_add_gtest)
  cmake_parse_arguments(T "" "NAME" "SOURCES;LIBS;LABELS" ${ARGN})
  if(NOT QOBL_BUILD_TESTS)
    return()
  endif()
  list(TRANSFORM T_LIBS REPLACE "^qobl$" "qobl_core")
  add_executable(${T_NAME} ${T_SOURCES})
  target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} qobl_test_support GTest::gtest GTest::gtest_main
                        Threads::Threads)
  add_test(NAME ${T_NAME} COMMAND ${T_NAME})
  set_tests_properties(${T_NAME} PROPERTIES LABELS "${T_LABELS}" TIMEOUT 600
                       ENVIRONMENT "QOBL_BUILD_DIR=${CMAKE_BINARY_DIR};QOBL_SOURCE_DIR=${CMAKE_SOURCE_DIR}")
endfunction()

find_package(Threads REQUIRED)

# qobl_export_map(<target> <map file>)
#   Makes <target> a shared library of the project's ABI: soname lib<name>.so.<major> (file
#   lib<name>.so.<major>.<minor>.<patch>, with the lib<name>.so link in the build tree's lib/ as before),
#   and only the symbols the GNU ld version script <map file> lists are exported, under its version node.
function(qobl_export_map target map)
  set_target_properties(${target} PROPERTIES
    VERSION ${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${PROJECT_VERSION_PATCH}
    SOVERSION ${PROJECT_VERSION_MAJOR}
    LINK_DEPENDS ${map})
  target_link_options(${target} PRIVATE "LINKER:--version-script=${map}")
endfunction()
