# What `cmake --install` puts below the prefix:
#
#   bin/                           the programs
#   lib/libringwell-common.so.0    the runtime every client and component links
#                                  (versioned soname; the .so link is in the kit)
#   lib/ringwell/lib*.so           the component libraries. Nothing links them:
#                                  the runtime loads each with dlopen from the
#                                  path registered for its classes, so they are
#                                  unversioned modules in a private directory.
#   include/ringwell/              the public headers: the runtime (common), the
#                                  toolkit (kel) and the scheduler's interface
#                                  for telephony hosts (dialqueue)
#   lib/cmake/Ringwell/            find_package(Ringwell CONFIG)
#   lib/pkgconfig/                 ringwell-common.pc, ringwell-kel.pc
#   share/ringwell/                sample scenario, JSON Schema of kel's requests
#   share/doc/ringwell/examples/   the example client with a CMakeLists.txt
#   share/man/man5/                ringwell-request(5)
#   share/man/man1, man8/          kel(1), the daemons' and tools' pages
#
# The runtime component holds what a machine runs; the dev component holds
# what a program that builds against Ringwell needs.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(RINGWELL_INSTALL_LIBDIR lib)  # $ORIGIN/../lib: the same below every prefix
set(RINGWELL_INSTALL_COMPONENTDIR ${RINGWELL_INSTALL_LIBDIR}/ringwell)
set(RINGWELL_SOVERSION ${PROJECT_VERSION_MAJOR})

set_target_properties(ringwell_common PROPERTIES
  VERSION ${PROJECT_VERSION} SOVERSION ${RINGWELL_SOVERSION})
install(TARGETS ringwell_common
  LIBRARY DESTINATION ${RINGWELL_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT dev)

foreach(component kel tallier wavshift dialqueue)
  if(TARGET ${component})
    if(RINGWELL_INSTALL_RPATH)
      set_target_properties(${component} PROPERTIES INSTALL_RPATH "$ORIGIN/..")
    endif()
    install(TARGETS ${component} LIBRARY DESTINATION ${RINGWELL_INSTALL_COMPONENTDIR}
            COMPONENT runtime NAMELINK_SKIP)
  endif()
endforeach()

foreach(program prepax ringwell-host kel_cli ringwell-regsvr ringwell-setup ringwell-api)
  if(TARGET ${program})
    install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime)
  endif()
endforeach()

# The programs' manual pages, from their own --help (kel's and ringwell-api's
# are made beside them).
set(man_includes ${PROJECT_SOURCE_DIR}/packaging/man)
ringwell_man_page(prepax 8 NAME "prepares submitted notification requests for calling"
                  INCLUDE ${man_includes}/prepax.h2m)
ringwell_man_page(ringwell-host 8 NAME "telephony host: SIP or simulated lines and a pager"
                  INCLUDE ${man_includes}/ringwell-host.h2m)
ringwell_man_page(ringwell-setup 8 NAME "prepares and checks a Ringwell installation"
                  INCLUDE ${man_includes}/ringwell-setup.h2m)
ringwell_man_page(ringwell-regsvr 8 NAME "registers component libraries in the registry"
                  INCLUDE ${man_includes}/ringwell-regsvr.h2m)

# Public headers: each compiles on its own against these alone.
set(RINGWELL_PUBLIC_HEADERS
  common/include/ringwell/common/class_registry.h
  common/include/ringwell/common/com.h
  common/include/ringwell/common/com_ptr.h
  common/include/ringwell/common/error_info.h
  common/include/ringwell/common/guid.h
  common/include/ringwell/common/hresult.h
  common/include/ringwell/common/ole_date.h
  common/include/ringwell/common/toolkit_class.h
  common/include/ringwell/common/variant.h
  kel/include/ringwell/kel/collections.h
  kel/include/ringwell/kel/kel.h
  dialqueue/include/ringwell/dialqueue/dialqueue.h)
foreach(header ${RINGWELL_PUBLIC_HEADERS})
  string(REGEX REPLACE "^[a-z]+/include/(.*)/[^/]+$" "\\1" subdir ${header})
  install(FILES ${header} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/${subdir} COMPONENT dev)
endforeach()
install(FILES ${PROJECT_BINARY_DIR}/common/include/ringwell/common/version.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/ringwell/common COMPONENT dev)

# find_package(Ringwell CONFIG)
set(RINGWELL_CMAKE_DIR ${RINGWELL_INSTALL_LIBDIR}/cmake/Ringwell)
configure_package_config_file(cmake/RingwellConfig.cmake.in
  ${PROJECT_BINARY_DIR}/package/RingwellConfig.cmake
  INSTALL_DESTINATION ${RINGWELL_CMAKE_DIR}
  PATH_VARS RINGWELL_INSTALL_LIBDIR RINGWELL_INSTALL_COMPONENTDIR CMAKE_INSTALL_INCLUDEDIR)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/package/RingwellConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/package/RingwellConfig.cmake
              ${PROJECT_BINARY_DIR}/package/RingwellConfigVersion.cmake
        DESTINATION ${RINGWELL_CMAKE_DIR} COMPONENT dev)

# pkg-config: ringwell-common (the runtime) and ringwell-kel (the toolkit).
foreach(pc ringwell-common ringwell-kel)
  configure_file(cmake/${pc}.pc.in ${PROJECT_BINARY_DIR}/package/${pc}.pc @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/package/${pc}.pc
          DESTINATION ${RINGWELL_INSTALL_LIBDIR}/pkgconfig COMPONENT dev)
endforeach()

# What a user reads and starts from.
install(FILES host/scenario.sample.json host/pager.sample.toml host/pager-secrets.sample.toml
              packaging/request.schema.json
        DESTINATION ${CMAKE_INSTALL_DATADIR}/ringwell COMPONENT runtime)
configure_file(packaging/man/ringwell-request.5.in ${PROJECT_BINARY_DIR}/package/ringwell-request.5
               @ONLY)
add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/package/ringwell-request.5.gz
  COMMAND gzip -n -9 -c ${PROJECT_BINARY_DIR}/package/ringwell-request.5
          > ${PROJECT_BINARY_DIR}/package/ringwell-request.5.gz
  DEPENDS ${PROJECT_BINARY_DIR}/package/ringwell-request.5)
add_custom_target(ringwell_man_pages ALL DEPENDS ${PROJECT_BINARY_DIR}/package/ringwell-request.5.gz)
install(FILES ${PROJECT_BINARY_DIR}/package/ringwell-request.5.gz
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man5 COMPONENT runtime)
install(FILES kel/examples/submit_request.cc kel/examples/CMakeLists.txt
        DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples COMPONENT dev)
