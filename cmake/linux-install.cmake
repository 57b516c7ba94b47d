# What a Linux install holds besides the program, its page and its desktop
# files: the systemd units (the user units of one operator's nightly run, the
# system template of a machine's sites), the system user's sysusers.d entry
# and the rotation of the sites' error logs; then the Debian package of the
# whole install (cpack -G DEB; scripts/package-debian).
option(TANDREL_SYSTEMD "Install the systemd units, the system user's entry and the log rotation" ON)
if(TANDREL_SYSTEMD)
  # Fixed lib/ and share/ paths, not CMAKE_INSTALL_LIBDIR (lib/<triplet>
  # under /usr on Debian): systemd looks in PREFIX/lib/systemd/system and
  # PREFIX/share/systemd/user for /usr, /usr/local and ~/.local alike.
  install(CODE "set(TANDREL_SOURCE \"${CMAKE_SOURCE_DIR}\")
    set(TANDREL_STAGE \"${CMAKE_BINARY_DIR}/contrib-staged\")
    set(TANDREL_BINDIR \"${CMAKE_INSTALL_BINDIR}\")
    set(TANDREL_SYSCONFDIR \"${CMAKE_INSTALL_SYSCONFDIR}\")")
  install(SCRIPT cmake/install-at-prefix.cmake)
  install(FILES contrib/systemd/tandreldl.timer DESTINATION ${CMAKE_INSTALL_DATADIR}/systemd/user)
  install(FILES contrib/systemd/tandreldl@.timer DESTINATION lib/systemd/system)
  install(FILES contrib/systemd/tandreldl.sysusers DESTINATION lib/sysusers.d RENAME tandreldl.conf)
endif()

# The package: /usr, the same files as an install, a system user made at
# install time and removed at purge (contrib/debian/). The run-time
# libraries it needs are found by dpkg-shlibdeps.
# The version is the program's own (log/version.h); a package without it
# would carry CPack's placeholder and never upgrade cleanly.
file(STRINGS ${CMAKE_SOURCE_DIR}/log/version.h _version REGEX "define APP_VERSION \"")
string(REGEX REPLACE ".*\"v([0-9.]+)\".*" "\\1" _version "${_version}")
if(NOT _version MATCHES "^[0-9]+(\\.[0-9]+)*$")
  message(FATAL_ERROR "no program version found in log/version.h (APP_VERSION)")
endif()
set(CPACK_PACKAGE_NAME tandreldl)
set(CPACK_PACKAGE_VERSION ${_version})
set(CPACK_PACKAGE_VENDOR "TandrelDL")
set(CPACK_PACKAGE_CONTACT "TandrelDL maintainers <maintainers@users.noreply.c-seed-9369ba56.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "download tool for DAS units (network data loggers)")
set(CPACK_PACKAGE_DESCRIPTION "Downloads the log and configuration files of the DAS units in a list,
over the local network, and merges each device's new records into its
local log. A desktop window to keep the list and download by hand, and an
unattended run (/AUTO) for cron or the systemd timers: user units for one
operator, and tandreldl@SITE.timer running as a system user for each site
in /var/lib/tandreldl/SITE.")
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS systemd-sysusers)
set(CPACK_DEBIAN_PACKAGE_SUGGESTS logrotate)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${CMAKE_SOURCE_DIR}/contrib/debian/postinst ${CMAKE_SOURCE_DIR}/contrib/debian/prerm
    ${CMAKE_SOURCE_DIR}/contrib/debian/postrm ${CMAKE_SOURCE_DIR}/contrib/debian/conffiles)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_SOURCE_DIR}/cmake/package-debian-staged.cmake)
set(CPACK_GENERATOR DEB)
include(CPack)
