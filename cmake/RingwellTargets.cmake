# Helpers for the targets every component defines.

# ringwell_component_library(<name> OUTPUT_NAME <file name> SOURCES ... [LIBRARIES ...])
# A component library: a shared object loaded by class identifier, exporting
# only its entry points (DllGetClassObject, DllRegisterServer, ...).
function(ringwell_component_library name)
  cmake_parse_arguments(ARG "" "OUTPUT_NAME" "SOURCES;LIBRARIES" ${ARGN})
  add_library(${name} SHARED ${ARG_SOURCES})
  set_target_properties(${name} PROPERTIES
    OUTPUT_NAME ${ARG_OUTPUT_NAME}
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON)
  target_link_libraries(${name} PRIVATE ringwell_common ${ARG_LIBRARIES})
endfunction()

# ringwell_test(<name> SOURCES ... [LIBRARIES ...] [LABELS ...])
# One GoogleTest binary, each test registered with CTest. Tests never write to
# the real journal.
function(ringwell_test name)
  cmake_parse_arguments(ARG "" "TIMEOUT" "SOURCES;LIBRARIES;LABELS" ${ARGN})
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 300)
  endif()
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ringwell_testing GTest::gtest_main GTest::gmock
                        ${ARG_LIBRARIES})
  gtest_discover_tests(${name}
    DISCOVERY_TIMEOUT 60
    PROPERTIES ENVIRONMENT "RINGWELL_JOURNAL=0" TIMEOUT ${ARG_TIMEOUT}
               LABELS "${ARG_LABELS}")
endfunction()
