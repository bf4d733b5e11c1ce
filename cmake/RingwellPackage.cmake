# The Debian packages, built by scripts/package (cpack -G DEB) from a build
# configured with RINGWELL_SYSTEM_PACKAGE=ON below /usr:
#
#   ringwell      programs, libringwell-common.so.0, the component libraries in
#                 /usr/lib/ringwell, the systemd units of prepax and
#                 ringwell-host, the configuration in /etc/ringwell
#                 (conffiles), and maintainer scripts that make the ringwell
#                 user and group and /var/spool/ringwell, and register the
#                 components on installation and unregister them on removal
#   ringwell-dev  headers, the CMake package, pkg-config files, the example
#
# Only such a build installs into /etc and /lib/systemd: an installation below
# any other prefix leaves the system alone.
set(RINGWELL_PACKAGE_CONTACT "Ringwell developers <ringwell@example.org>" CACHE STRING
    "Maintainer of the Debian packages")
option(RINGWELL_SYSTEM_PACKAGE "Install the system files of the Debian package (/etc, units)" OFF)

set(RINGWELL_PACKAGING_DIR ${PROJECT_SOURCE_DIR}/packaging)
set(RINGWELL_DEBIAN_DIR ${PROJECT_BINARY_DIR}/package/debian)

if(RINGWELL_SYSTEM_PACKAGE)
  install(FILES ${RINGWELL_PACKAGING_DIR}/etc/registry.toml
                ${RINGWELL_PACKAGING_DIR}/etc/ringwell-host.conf
          DESTINATION /etc/ringwell COMPONENT runtime)
  install(FILES host/scenario.sample.json DESTINATION /etc/ringwell RENAME scenario.json
          COMPONENT runtime)
  install(FILES ${RINGWELL_PACKAGING_DIR}/systemd/prepax.service
                ${RINGWELL_PACKAGING_DIR}/systemd/ringwell-host.service
                ${RINGWELL_PACKAGING_DIR}/systemd/ringwell-api.service
          DESTINATION /lib/systemd/system COMPONENT runtime)
  # Debian wants a copyright file and a changelog in each package's documents
  # (changelog.gz: the packages are native, their version has no revision).
  string(TIMESTAMP RINGWELL_PACKAGE_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
  configure_file(${RINGWELL_PACKAGING_DIR}/debian/changelog.in ${RINGWELL_DEBIAN_DIR}/changelog @ONLY)
  add_custom_command(OUTPUT ${RINGWELL_DEBIAN_DIR}/changelog.gz
    COMMAND gzip -n -9 -c ${RINGWELL_DEBIAN_DIR}/changelog > ${RINGWELL_DEBIAN_DIR}/changelog.gz
    DEPENDS ${RINGWELL_DEBIAN_DIR}/changelog)
  add_custom_target(ringwell_debian_changelog ALL DEPENDS ${RINGWELL_DEBIAN_DIR}/changelog.gz)
  foreach(component runtime dev)
    set(package ringwell)
    if(component STREQUAL dev)
      set(package ringwell-dev)
    endif()
    install(FILES ${RINGWELL_PACKAGING_DIR}/debian/copyright ${RINGWELL_DEBIAN_DIR}/changelog.gz
            DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${package} COMPONENT ${component})
  endforeach()
  # The user guide: the package's first day, and the whole README beside it.
  install(FILES ${RINGWELL_PACKAGING_DIR}/debian/README.Debian ${PROJECT_SOURCE_DIR}/README.md
          DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/ringwell COMPONENT runtime)
endif()

set(CPACK_PACKAGE_NAME ringwell)
set(CPACK_PACKAGE_VENDOR "Ringwell")
set(CPACK_PACKAGE_CONTACT ${RINGWELL_PACKAGE_CONTACT})
# CPack puts a summary other than its default before every package's
# description; each description below starts with its own.
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${CMAKE_PROJECT_NAME} built using CMake")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_COMPONENTS_ALL runtime dev)
set(CPACK_GENERATOR DEB)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION comm)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS /usr/lib/ringwell)
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME ringwell)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION comm)
# What the libraries do not name: the voices espeak-ng speaks with, and the
# tools the maintainer scripts use.
set(CPACK_DEBIAN_RUNTIME_PACKAGE_DEPENDS "espeak-ng-data, adduser")
# The first line of each description is the package's summary.
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION
  "spoken telephone notifications and pages
Ringwell delivers spoken telephone notifications and pages. A client
describes whom to call, in which time window, how persistently and what is
said; Ringwell speaks the texts, converts recordings, dials, retries and
keeps a report of every call. This package holds the daemon (prepax), the
reference telephony host, the HTTP API (ringwell-api), the kel command-line
client and the components.")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA
  ${RINGWELL_PACKAGING_DIR}/debian/conffiles
  ${RINGWELL_PACKAGING_DIR}/debian/triggers
  ${RINGWELL_PACKAGING_DIR}/debian/postinst
  ${RINGWELL_PACKAGING_DIR}/debian/prerm
  ${RINGWELL_PACKAGING_DIR}/debian/postrm)

set(CPACK_DEBIAN_DEV_PACKAGE_NAME ringwell-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_COMPONENT_DEV_DEPENDS runtime)
set(CPACK_DEBIAN_DEV_DESCRIPTION
  "spoken telephone notifications and pages - development kit
Headers, a CMake package (find_package(Ringwell)), pkg-config files and an
example client for programs that submit notifications through the Ringwell
toolkit or host its call scheduler.")

include(CPack)
