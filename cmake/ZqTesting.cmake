# zq_add_test(<name> SOURCES <files...> [LIBS <targets...>] [LABELS <labels...>]
#             [TIMEOUT <seconds>])
#
# Builds one GoogleTest binary and registers each of its tests with CTest.
# Tests that start real processes or open sockets carry the label "process",
# so that a quick loop can skip them: ctest -LE process.
include(GoogleTest)
find_package(GTest REQUIRED)

function(zq_add_test name)
  cmake_parse_arguments(ARG "" "TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 120)
  endif()
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gtest_main GTest::gmock Threads::Threads)
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR}/tests)
  gtest_discover_tests(${name}
    DISCOVERY_TIMEOUT 60
    PROPERTIES LABELS "${ARG_LABELS}" TIMEOUT ${ARG_TIMEOUT}
               ENVIRONMENT "ZQ_BIN_DIR=${CMAKE_BINARY_DIR}/bin;ZQ_SOURCE_DIR=${CMAKE_SOURCE_DIR}")
endfunction()
