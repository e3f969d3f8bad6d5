# zq_add_test(<name> [NETNS] SOURCES <files...> [LIBS <targets...>]
#             [PROGRAMS <targets...>] [LABELS <labels...>] [TIMEOUT <seconds>])
#
# Builds one GoogleTest binary and registers each of its tests with CTest.
# PROGRAMS are the programs of the build that the tests start (from the bin
# folder, ZQ_BIN_DIR): building the test builds them too.
# Tests that start real processes or open sockets carry the label "process",
# so that a quick loop can skip them: ctest -LE process.
#
# NETNS runs every test of the binary in network and PID namespaces of its
# own (tests/support/netns-run): the daemon's port 8088 is private to the
# test, and the kernel ends every process the test leaves behind. It implies
# the label "process".
include(GoogleTest)
find_package(GTest REQUIRED)

function(zq_add_test name)
  cmake_parse_arguments(ARG "NETNS" "TIMEOUT" "SOURCES;LIBS;PROGRAMS;LABELS" ${ARGN})
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 120)
  endif()
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gtest_main GTest::gmock Threads::Threads)
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR}/tests)
  if(ARG_PROGRAMS)
    add_dependencies(${name} ${ARG_PROGRAMS})
  endif()
  set(labels ${ARG_LABELS})
  if(ARG_NETNS)
    set_target_properties(${name} PROPERTIES
      CROSSCOMPILING_EMULATOR ${CMAKE_SOURCE_DIR}/tests/support/netns-run)
    list(APPEND labels process)
    list(REMOVE_DUPLICATES labels)
  endif()
  if(NOT labels)
    set(labels unit)
  endif()
  # Parameterised suites name their cases themselves; NO_PRETTY_VALUES keeps
  # CTest's names to those, without the printed parameter appended.
  gtest_discover_tests(${name}
    DISCOVERY_TIMEOUT 60
    NO_PRETTY_VALUES
    PROPERTIES LABELS "${labels}" TIMEOUT ${ARG_TIMEOUT}
               ENVIRONMENT "ZQ_BIN_DIR=${CMAKE_BINARY_DIR}/bin")
endfunction()
