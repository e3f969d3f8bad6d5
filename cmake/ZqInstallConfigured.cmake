# Runs at install time (from cmake_install.cmake, for cmake --install and
# cpack): configures the units, the daemon's defaults and the example
# configuration for the prefix installed to, and installs them.
#
# Set by the caller: ZQ_SOURCE_DIR, ZQ_STAGE_ROOT, ZQ_BINDIR, ZQ_EXAMPLES_DIR.
# CMAKE_INSTALL_PREFIX is the prefix of this installation; file(INSTALL)
# adds DESTDIR itself.
string(REGEX REPLACE "/+$" "" prefix "${CMAKE_INSTALL_PREFIX}")
if(prefix STREQUAL "/usr" OR prefix STREQUAL "")
  set(ZQ_SYSCONFDIR /etc)
elseif(prefix MATCHES "^/opt/")
  set(ZQ_SYSCONFDIR /etc${prefix})
else()
  set(ZQ_SYSCONFDIR ${prefix}/etc)
endif()
set(ZQ_BINDIR ${prefix}/${ZQ_BINDIR})
set(ZQ_SAMPLE_SERVER ${prefix}/${ZQ_EXAMPLES_DIR}/sample_server)
# The package (prefix /usr) creates a user of its own for the example's
# servers; an installation elsewhere, made to try the programs out, runs them
# as the daemon's user, which needs no such account.
if(prefix STREQUAL "/usr")
  set(ZQ_EXAMPLE_USER_KEY "\"User\": \"${ZQ_EXAMPLE_USER}\",\n          ")
else()
  set(ZQ_EXAMPLE_USER_KEY "")
endif()
file(READ ${ZQ_SOURCE_DIR}/packaging/systemd/hardening.conf ZQ_HARDENING)
string(STRIP "${ZQ_HARDENING}" ZQ_HARDENING)

# A stage of its own per destination: installs to two prefixes may run at once.
string(MD5 stage_key "$ENV{DESTDIR}${prefix}")
set(stage ${ZQ_STAGE_ROOT}/${stage_key})
foreach(unit zqmd almanac custodel)
  configure_file(${ZQ_SOURCE_DIR}/packaging/systemd/${unit}.service.in
                 ${stage}/units/${unit}.service @ONLY)
endforeach()
configure_file(${ZQ_SOURCE_DIR}/packaging/systemd/zqmd.socket.in ${stage}/units/zqmd.socket @ONLY)
configure_file(${ZQ_SOURCE_DIR}/packaging/installation.json.in ${stage}/installation.json @ONLY)
configure_file(${ZQ_SOURCE_DIR}/packaging/default-zqmd ${stage}/default/zqmd COPYONLY)

file(INSTALL ${stage}/units/zqmd.socket ${stage}/units/zqmd.service
             ${stage}/units/almanac.service ${stage}/units/custodel.service
             DESTINATION ${prefix}/lib/systemd/system)
file(INSTALL ${stage}/installation.json DESTINATION ${ZQ_SYSCONFDIR}/custodel)
file(INSTALL ${stage}/default/zqmd DESTINATION ${ZQ_SYSCONFDIR}/default)
