# Modules: shared objects that a program loads from the folder of
# libDEVUror.so for one task (DEVUror/zqm_modules.h), so that code it needs
# only now and then, or only while it starts, is not in its memory for the
# rest of its life. Each exports its entry and nothing else; the global
# property ZQ_MODULES lists them for installation.

# The command-line parser (header-only) is compiled into these modules alone.
find_package(CLI11 CONFIG QUIET)
if(NOT TARGET CLI11::CLI11)
  find_path(CLI11_INCLUDE_DIR CLI/CLI.hpp REQUIRED)
endif()

# zq_command_line_module(<program> <source>...): lib<program>_command_line.so,
# which reads <program>'s command line and is closed again before the
# program does its work. GCC's unique symbols (the static data of inline
# functions) would pin a module in the process for good: not for these.
function(zq_command_line_module program)
  set(target ${program}_command_line)
  add_library(${target} MODULE ${ARGN})
  set_target_properties(${target} PROPERTIES CXX_VISIBILITY_PRESET hidden
                        VISIBILITY_INLINES_HIDDEN ON)
  target_compile_options(${target} PRIVATE $<$<CXX_COMPILER_ID:GNU>:-fno-gnu-unique>)
  target_link_libraries(${target} PRIVATE DEVUror -Wl,--exclude-libs,ALL)
  if(TARGET CLI11::CLI11)
    target_link_libraries(${target} PRIVATE CLI11::CLI11)
  else()
    target_include_directories(${target} PRIVATE ${CLI11_INCLUDE_DIR})
  endif()
  add_dependencies(${program} ${target})
  set_property(GLOBAL APPEND PROPERTY ZQ_MODULES ${target})
endfunction()
