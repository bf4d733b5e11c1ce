# Programs and libraries built for use get the hardening Debian builds its
# packages with (dpkg-buildflags with hardening=+all): fortified C library
# calls, the strong stack protector, stack clash and control-flow protection,
# and relocations made read-only and bound at start. Debug and sanitized
# builds go without: fortification needs optimisation, and the sanitizers
# bring their own checks.
if(NOT CMAKE_BUILD_TYPE STREQUAL "Debug" AND NOT RINGWELL_SANITIZE)
  add_compile_options(-U_FORTIFY_SOURCE -D_FORTIFY_SOURCE=2 -fstack-protector-strong
                      -fstack-clash-protection)
  if(CMAKE_SYSTEM_PROCESSOR MATCHES "x86_64|amd64|i.86")
    add_compile_options(-fcf-protection)
  endif()
  add_link_options(LINKER:-z,relro LINKER:-z,now)
endif()
