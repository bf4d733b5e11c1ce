# RINGWELL_FUZZ=ON (with clang) builds the libFuzzer targets of fuzz/: all
# code gets libFuzzer's coverage instrumentation, and each target is an
# executable fuzz/fuzz_<name> in the build tree. scripts/fuzz configures such
# a build (with AddressSanitizer + UndefinedBehaviorSanitizer) and runs them.
#
# Without it, a build with tests links each target with fuzz/replay_main.cc
# instead of libFuzzer, and the test FuzzCorpus.<name> (label fuzz) replays the
# target's seed corpus once under the build's sanitizers.
option(RINGWELL_FUZZ "Build the libFuzzer targets of fuzz/ (needs clang)" OFF)

if(RINGWELL_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "RINGWELL_FUZZ needs clang (CMAKE_CXX_COMPILER=clang++)")
  endif()
  add_compile_options(-fsanitize=fuzzer-no-link)
  add_custom_target(fuzz_targets)
endif()

# ringwell_fuzz_target(<name> SOURCES ... [LIBRARIES ...] [INCLUDES ...])
# One libFuzzer executable, fuzz/fuzz_<name>; its seed corpus is the
# directory fuzz/corpus/<name>/ of the source tree.
function(ringwell_fuzz_target name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBRARIES;INCLUDES" ${ARGN})
  if(NOT RINGWELL_FUZZ)
    list(APPEND ARG_SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/replay_main.cc)
  endif()
  add_executable(fuzz_${name} ${ARG_SOURCES})
  set_target_properties(fuzz_${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/fuzz)
  target_include_directories(fuzz_${name} PRIVATE ${ARG_INCLUDES})
  target_link_libraries(fuzz_${name} PRIVATE ringwell_common ${ARG_LIBRARIES})
  if(RINGWELL_FUZZ)
    target_link_options(fuzz_${name} PRIVATE -fsanitize=fuzzer)
    add_dependencies(fuzz_targets fuzz_${name})
  else()
    add_test(NAME FuzzCorpus.${name}
             COMMAND fuzz_${name} ${CMAKE_CURRENT_SOURCE_DIR}/corpus/${name})
    set_tests_properties(FuzzCorpus.${name} PROPERTIES LABELS fuzz)
  endif()
endfunction()
