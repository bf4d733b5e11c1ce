# ringwell_man_page(<program> <section> NAME <one line> [INCLUDE <file>])
#
# The manual page of a program, made by help2man from the program's own
# --help and --version, so the page says what the program does and cannot
# drift from it; INCLUDE adds sections help2man's include format describes
# (DESCRIPTION text, FILES, SEE ALSO, ...). The page is compressed as Debian
# keeps manual pages and installed with the runtime.
#
# Sanitized builds make no pages: a leak report at a program's exit would fail
# the build, and nobody installs from such a tree.
find_program(RINGWELL_HELP2MAN help2man)

function(ringwell_man_page program section)
  cmake_parse_arguments(ARG "" "NAME;INCLUDE" "" ${ARGN})
  if(RINGWELL_SANITIZE)
    return()
  endif()
  if(NOT RINGWELL_HELP2MAN)
    message(FATAL_ERROR "help2man is needed for the manual pages (scripts/install-deps installs it)")
  endif()
  set(page ${CMAKE_CURRENT_BINARY_DIR}/man/${program}.${section})
  file(MAKE_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/man)
  set(include_args)
  if(ARG_INCLUDE)
    set(include_args --include=${ARG_INCLUDE})
  endif()
  add_custom_command(OUTPUT ${page}.gz
    COMMAND ${RINGWELL_HELP2MAN} --no-info --section=${section} --name=${ARG_NAME}
            ${include_args} --output=${page} $<TARGET_FILE:${program}>
    COMMAND gzip -n -9 -f ${page}
    DEPENDS ${program} ${ARG_INCLUDE}
    COMMENT "Manual page ${program}(${section})"
    VERBATIM)
  add_custom_target(${program}_man_page ALL DEPENDS ${page}.gz)
  install(FILES ${page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section} COMPONENT runtime)
endfunction()
