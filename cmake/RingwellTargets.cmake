# Helpers for the targets every component defines: its public headers, the
# static library of its code, its component library and its tests.

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

# ringwell_interface_library(<name>)
# The public headers of the component in the current directory (its include/:
# interfaces, identifiers, public types) as a target of their own. A component
# that calls another through its interfaces, creating its objects at run time,
# links this and none of the other's code.
function(ringwell_interface_library name)
  add_library(${name} INTERFACE)
  target_include_directories(${name} INTERFACE ${CMAKE_CURRENT_SOURCE_DIR}/include)
  target_link_libraries(${name} INTERFACE ringwell_common)
endfunction()

# ringwell_core_library(<name> SOURCES ... [LIBRARIES ...] [PRIVATE_LIBRARIES ...])
# The static library that holds a component's code, shared by its component
# library (hence position-independent code, and hidden symbols: the shared
# object exports only its entry points), its tests and its benchmarks. Its
# users see the component's include/ (when there is one) and ringwell_common;
# its src/ stays private, and a test or benchmark that reaches into it says
# so itself. LIBRARIES are public, PRIVATE_LIBRARIES are not.
function(ringwell_core_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBRARIES;PRIVATE_LIBRARIES" ${ARGN})
  add_library(${name} STATIC ${ARG_SOURCES})
  set_target_properties(${name} PROPERTIES
    POSITION_INDEPENDENT_CODE ON
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON)
  if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/include)
    target_include_directories(${name} PUBLIC ${CMAKE_CURRENT_SOURCE_DIR}/include)
  endif()
  if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/src)
    target_include_directories(${name} PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/src)
  endif()
  target_link_libraries(${name} PUBLIC ringwell_common ${ARG_LIBRARIES}
                        PRIVATE ${ARG_PRIVATE_LIBRARIES})
endfunction()
