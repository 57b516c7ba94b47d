# Part of the install step (cmake --install, and CPack's): the files whose
# place or text depends on the prefix chosen then, not at configure time.
# The services name the installed program by its full path; the log
# rotation goes where logrotate reads it, /etc for a /usr install (as
# GNUInstallDirs places the system configuration). Set by the caller:
# TANDREL_SOURCE, TANDREL_STAGE, TANDREL_BINDIR, TANDREL_SYSCONFDIR.
function(tandrel_full_dir out dir)
  if(IS_ABSOLUTE "${dir}")
    set(${out} "${dir}" PARENT_SCOPE)
  else()
    set(${out} "${CMAKE_INSTALL_PREFIX}/${dir}" PARENT_SCOPE)
  endif()
endfunction()

tandrel_full_dir(_bindir "${TANDREL_BINDIR}")
# Installs into different places may run at once (a package beside an
# install): each writes its texts in a folder of its own.
string(MD5 _stage "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}")
set(_stage "${TANDREL_STAGE}/${_stage}")
set(TANDREL_PROGRAM "${_bindir}/tandreldl")
foreach(_unit "share/systemd/user:tandreldl.service" "lib/systemd/system:tandreldl@.service")
  string(REPLACE ":" ";" _unit "${_unit}")
  list(GET _unit 0 _dir)
  list(GET _unit 1 _name)
  configure_file("${TANDREL_SOURCE}/contrib/systemd/${_name}.in" "${_stage}/${_name}" @ONLY)
  file(INSTALL DESTINATION "${CMAKE_INSTALL_PREFIX}/${_dir}" TYPE FILE
       FILES "${_stage}/${_name}")
endforeach()

if(NOT IS_ABSOLUTE "${TANDREL_SYSCONFDIR}" AND CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  set(_etc "/${TANDREL_SYSCONFDIR}")
else()
  tandrel_full_dir(_etc "${TANDREL_SYSCONFDIR}")
endif()
file(INSTALL DESTINATION "${_etc}/logrotate.d" TYPE FILE
     FILES "${TANDREL_SOURCE}/contrib/logrotate/tandreldl")
