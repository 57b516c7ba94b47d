# Run by CPack on the package's files before it packs them: Debian wants
# manual pages compressed with gzip -9n (no name or time stamp inside, so
# that the same page packs the same). An install leaves the page as it is.
file(GLOB_RECURSE _pages "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*/share/man/man1/*.1")
foreach(_page ${_pages})
  execute_process(COMMAND gzip -9nf "${_page}" RESULT_VARIABLE _rc)
  if(NOT _rc EQUAL 0)
    message(FATAL_ERROR "gzip ${_page} failed (${_rc})")
  endif()
endforeach()
