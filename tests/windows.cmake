# The tests of the Windows build: built with mingw-w64 and run under Wine
# (CMAKE_CROSSCOMPILING_EMULATOR; scripts/test-windows sets up the display,
# the Wine prefix and the simulated units). GoogleTest is built from the
# sources Debian's googletest package ships.
set(TANDREL_GTEST_SRC /usr/src/googletest CACHE PATH "GoogleTest sources")
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(gtest_disable_pthreads OFF CACHE BOOL "" FORCE)
add_subdirectory(${TANDREL_GTEST_SRC} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
target_compile_options(gtest PRIVATE -Wno-error)
target_compile_options(gtest_main PRIVATE -Wno-error)

# The portable tests that need neither POSIX calls nor the simulator in the
# same process (the list file, dial-out with the scripted service), and the
# Windows platform's own.
set(_win_tests
  ${CMAKE_SOURCE_DIR}/tests/daslist_test.cpp
  ${CMAKE_SOURCE_DIR}/tests/dialout_test.cpp
  ${CMAKE_SOURCE_DIR}/tests/win32/win32_merge_test.cpp
  ${CMAKE_SOURCE_DIR}/tests/win32/win32_platform_test.cpp
  ${CMAKE_SOURCE_DIR}/tests/win32/win32_auto_test.cpp)
# Cases about the machine without a dial-up service, or about the size of
# the dial parameters there; Windows has the service and its own size.
set(_args_dialout_test
  --gtest_filter=-DialupService.DefaultBackendRefusesAtOnceWithoutHandle:DialoutTest.DialThatCannotStartFailsAtOnce:DialoutTest.SuccessfulDialShowsEachStateAndKeepsTheLine)
foreach(t ${_win_tests})
  get_filename_component(name ${t} NAME_WE)
  add_executable(${name} ${t} ${CMAKE_SOURCE_DIR}/tests/support/testutil.cpp)
  target_link_libraries(${name} PRIVATE tandrel_testhooks tandrelcore gtest gtest_main)
  target_compile_definitions(${name} PRIVATE TANDREL_BINARY="$<TARGET_FILE_NAME:tandreldl>")
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
  add_dependencies(${name} tandreldl)
  add_test(NAME ${name} COMMAND ${name} ${_args_${name}})
  set_tests_properties(${name} PROPERTIES TIMEOUT 300 LABELS windows)
endforeach()
