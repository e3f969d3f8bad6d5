# Installation (cmake --install), man pages, systemd units and the Debian
# package (cpack -G DEB). Included after every target exists.
#
# Layout below the prefix: the programs in bin/, the project's shared
# libraries in a private folder lib/custodel/ (found through each program's
# RUNPATH, so nothing else on the host loads them; the configuration
# server's etcd module with them), the sample server in
# libexec/custodel/, man pages, bash completion, systemd units in
# lib/systemd/system/. Configuration: <sysconfdir>/custodel/installation.json
# (an example) and <sysconfdir>/default/zqmd (the daemon's flags), where
# <sysconfdir> is /etc for the prefix /usr, /etc/opt/... for /opt/..., and
# <prefix>/etc otherwise. The build tree is not affected: its programs keep
# loading their libraries from build/lib.
include(GNUInstallDirs)

set(ZQ_PROGRAMS zqmd almanac custodel zqm)
set(ZQ_PRIVATE_LIBDIR ${CMAKE_INSTALL_LIBDIR}/custodel)
set(ZQ_EXAMPLES_DIR ${CMAKE_INSTALL_LIBEXECDIR}/custodel)
# The unprivileged user the package's example configuration runs its servers
# as; the package's postinst creates it.
set(ZQ_EXAMPLE_USER custodel)

# Each installed program finds the private libraries relative to itself.
function(zq_install_relocatable target destination)
  file(RELATIVE_PATH to_libraries /prefix/${destination} /prefix/${ZQ_PRIVATE_LIBDIR})
  set_target_properties(${target} PROPERTIES INSTALL_RPATH "$ORIGIN/${to_libraries}")
  install(TARGETS ${target} RUNTIME DESTINATION ${destination})
endfunction()

foreach(program ${ZQ_PROGRAMS})
  zq_install_relocatable(${program} ${CMAKE_INSTALL_BINDIR})
endforeach()
zq_install_relocatable(sample_server ${ZQ_EXAMPLES_DIR})
# The modules the programs load (`almanac --etcd`, each program's command
# line) lie beside the runtime library, where zqm_modules looks.
get_property(ZQ_MODULES GLOBAL PROPERTY ZQ_MODULES)
set_target_properties(dodived DEVUror almanac_etcd_module ${ZQ_MODULES} PROPERTIES INSTALL_RPATH
                      "$ORIGIN")
install(TARGETS dodived DEVUror LIBRARY DESTINATION ${ZQ_PRIVATE_LIBDIR})
install(TARGETS almanac_etcd_module ${ZQ_MODULES} LIBRARY DESTINATION ${ZQ_PRIVATE_LIBDIR})
install(FILES ${CMAKE_SOURCE_DIR}/packaging/bash-completion/zqm
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)

# Man pages, made from each program's --help and --version, compressed as
# Debian keeps them (gzip -9n: no name or time in the header, so that the
# same page gives the same bytes).
find_program(ZQ_HELP2MAN help2man)
find_program(ZQ_GZIP gzip REQUIRED)
if(ZQ_HELP2MAN)
  set(pages)
  set(ZQ_MAN_NAME_zqmd "the middleware daemon of a host")
  set(ZQ_MAN_NAME_almanac "the configuration server of a middleware installation")
  set(ZQ_MAN_NAME_custodel "keeps the configured server programs of a host running")
  set(ZQ_MAN_NAME_zqm "calls middleware servers and steers the Custodel service")
  foreach(program ${ZQ_PROGRAMS})
    set(page ${CMAKE_BINARY_DIR}/man/${program}.1.gz)
    add_custom_command(
      OUTPUT ${page}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
      COMMAND ${ZQ_HELP2MAN} --no-info --section=1 "--name=${ZQ_MAN_NAME_${program}}"
              --output=${CMAKE_BINARY_DIR}/man/${program}.1 $<TARGET_FILE:${program}>
      COMMAND ${ZQ_GZIP} -9nf ${CMAKE_BINARY_DIR}/man/${program}.1
      DEPENDS ${program}
      COMMENT "Writing the man page of ${program}")
    list(APPEND pages ${page})
  endforeach()
  add_custom_target(man_pages ALL DEPENDS ${pages})
  install(FILES ${pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
else()
  message(WARNING "help2man not found (scripts/deps installs it): no man pages are installed")
endif()

# What Debian expects beside a package's files: the copyright (machine
# readable) and the changelog, compressed.
set(ZQ_VERSION ${PROJECT_VERSION})
configure_file(${CMAKE_SOURCE_DIR}/packaging/debian/changelog.in
               ${CMAKE_BINARY_DIR}/package-doc/changelog @ONLY)
add_custom_command(
  OUTPUT ${CMAKE_BINARY_DIR}/package-doc/changelog.gz
  COMMAND ${ZQ_GZIP} -9nkf ${CMAKE_BINARY_DIR}/package-doc/changelog
  DEPENDS ${CMAKE_BINARY_DIR}/package-doc/changelog)
add_custom_target(package_changelog ALL DEPENDS ${CMAKE_BINARY_DIR}/package-doc/changelog.gz)
install(FILES ${CMAKE_SOURCE_DIR}/packaging/debian/copyright
              ${CMAKE_BINARY_DIR}/package-doc/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/custodel)
install(FILES ${CMAKE_SOURCE_DIR}/packaging/debian/lintian-overrides
        DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides RENAME custodel)

# Files that name the installation's own paths (units, example
# configuration) are configured at install time, for the prefix installed
# to: cmake --install --prefix and cpack each get paths of their own.
install(CODE "
  set(ZQ_SOURCE_DIR \"${CMAKE_SOURCE_DIR}\")
  set(ZQ_STAGE_ROOT \"${CMAKE_BINARY_DIR}/install-stage\")
  set(ZQ_BINDIR \"${CMAKE_INSTALL_BINDIR}\")
  set(ZQ_EXAMPLES_DIR \"${ZQ_EXAMPLES_DIR}\")
  set(ZQ_EXAMPLE_USER \"${ZQ_EXAMPLE_USER}\")
  include(\"${CMAKE_SOURCE_DIR}/cmake/ZqInstallConfigured.cmake\")
")

# The Debian package: cpack -G DEB in the build folder.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME custodel)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Custodel developers <custodel@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "keeps a host's configured server programs running, with its middleware")
# Lines of Debian's extended description: at most 80 characters each.
string(CONCAT CPACK_PACKAGE_DESCRIPTION
       "Custodel starts the configured server programs of a host in their\n"
       "start-up order and starts each again the moment it dies. The package\n"
       "holds the service (custodel), the middleware daemon (zqmd), the\n"
       "configuration server (almanac), the tool zqm, their systemd units and a\n"
       "sample server with an example configuration.")
# Installs with DESTDIR and the real prefix, so that files below /etc land
# there and the install-time configuration sees /usr.
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_SET_DESTDIR ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_BINARY_DIR}/lib)
set(CPACK_DEBIAN_PACKAGE_SUGGESTS bash-completion)
# The maintainer scripts create the servers' user and group (adduser); they
# steer the units with deb-systemd-helper and deb-systemd-invoke, which an
# essential package (init-system-helpers) holds.
set(CPACK_DEBIAN_PACKAGE_DEPENDS adduser)
set(ZQ_SYSCONFDIR /etc)
set(ZQ_BINDIR ${CPACK_PACKAGING_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR})
set(control ${CMAKE_BINARY_DIR}/debian-control)
configure_file(${CMAKE_SOURCE_DIR}/packaging/debian/postinst.in ${control}/postinst @ONLY
               FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                WORLD_READ WORLD_EXECUTE)
configure_file(${CMAKE_SOURCE_DIR}/packaging/debian/conffiles.in ${control}/conffiles @ONLY)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${control}/postinst ${CMAKE_SOURCE_DIR}/packaging/debian/prerm
    ${CMAKE_SOURCE_DIR}/packaging/debian/postrm ${control}/conffiles)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
