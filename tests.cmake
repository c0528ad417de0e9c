# Test programs. The scripted probe builds for every platform, Windows
# included; the GoogleTest suites run natively and drive the Windows builds
# through Wine.

# The probe against a scripted spooler, counting its heap blocks.
add_library(probe_counted OBJECT src/probe.cc)
target_include_directories(probe_counted PRIVATE src)
if(MSVC)
  target_compile_options(probe_counted PRIVATE /FI${CMAKE_CURRENT_SOURCE_DIR}/src/test_scripted_spooler.h)
else()
  target_compile_options(probe_counted PRIVATE -include ${CMAKE_CURRENT_SOURCE_DIR}/src/test_scripted_spooler.h)
endif()
add_executable(probe-scripted $<TARGET_OBJECTS:probe_counted> src/test_scripted_spooler.cc)
target_link_libraries(probe-scripted PRIVATE wide_console)
if(WIN32)
  if(NOT MSVC)
    target_link_options(probe-scripted PRIVATE -static)
  endif()
else()
  target_sources(probe-scripted PRIVATE src/last-error-posix.cc)
  target_link_libraries(probe-scripted PRIVATE getch)
endif()

if(WIN32)
  return()
endif()

find_package(GTest REQUIRED)
enable_testing()

add_library(test_process STATIC src/test_process.cc src/test_wine.cc src/test_private_scheduler.cc)
target_include_directories(test_process PUBLIC src)
target_compile_definitions(test_process PRIVATE
  PRIVATE_CUPSD_SCRIPT="${CMAKE_CURRENT_SOURCE_DIR}/tests/private-cupsd.sh")

add_executable(probe_test src/probe_test.cc)
target_link_libraries(probe_test PRIVATE test_process GTest::gtest_main)
add_test(NAME probe COMMAND probe_test)
set_tests_properties(probe PROPERTIES ENVIRONMENT "PROBE_SCRIPTED=$<TARGET_FILE:probe-scripted>")


add_executable(winspool-cups_test src/winspool-cups_test.cc)
target_link_libraries(winspool-cups_test PRIVATE spooler test_process GTest::gtest_main)
add_test(NAME layer COMMAND winspool-cups_test)

add_executable(probe_cups_test src/probe_cups_test.cc)
target_link_libraries(probe_cups_test PRIVATE test_process GTest::gtest_main)
add_test(NAME probe-cups COMMAND probe_cups_test)
set_tests_properties(probe-cups PROPERTIES ENVIRONMENT "PRINTER_PROBE=$<TARGET_FILE:printer-probe>")

add_executable(getch-posix_test src/getch-posix_test.cc)
target_link_libraries(getch-posix_test PRIVATE GTest::gtest_main util)
add_test(NAME terminal COMMAND getch-posix_test)
set_tests_properties(terminal PROPERTIES ENVIRONMENT "PRINTER_PROBE=$<TARGET_FILE:printer-probe>")

# memcheck on the product and on the scripted program, over every stop each
# can reach. A sanitized build has its own checks and cannot run under it.
find_program(VALGRIND valgrind)
if(VALGRIND AND NOT PRINTER_PROBE_SANITIZED)
  set(MEMCHECK "PROBE_RUNNER=${VALGRIND} -q --error-exitcode=99 --leak-check=full --errors-for-leak-kinds=definite")
  add_test(NAME probe-memcheck COMMAND probe_test)
  set_tests_properties(probe-memcheck PROPERTIES ENVIRONMENT
    "${MEMCHECK};PROBE_SCRIPTED=$<TARGET_FILE:probe-scripted>")
  foreach(suite probe-cups probe-faults)
    string(REPLACE "-" "_" binary ${suite})
    add_test(NAME ${suite}-memcheck COMMAND ${binary}_test)
    set_tests_properties(${suite}-memcheck PROPERTIES ENVIRONMENT
      "${MEMCHECK};PRINTER_PROBE=$<TARGET_FILE:printer-probe>")
  endforeach()
endif()

# The Windows builds, cross-built and run under Wine as part of the native
# test run: the builds are fixtures of the tests that run them.
option(PRINTER_PROBE_WINDOWS_TESTS "Cross-build for Windows and run the builds under Wine" ON)
find_program(WINE wine)
find_program(MINGW_I686 i686-w64-mingw32-g++)
find_program(MINGW_X86_64 x86_64-w64-mingw32-g++)
if(NOT PRINTER_PROBE_WINDOWS_TESTS)
  # Left to the default build.
elseif(WINE AND MINGW_I686 AND MINGW_X86_64)
  add_library(utf8_for_tests STATIC src/utf8.cc)
  target_include_directories(utf8_for_tests PUBLIC src)
  add_executable(probe_wine_test src/probe_wine_test.cc)
  target_link_libraries(probe_wine_test PRIVATE test_process utf8_for_tests GTest::gtest_main)

  foreach(preset windows-x86 windows-x64)
    add_test(NAME build-${preset}
      COMMAND sh -c "cmake --preset ${preset} >/dev/null && cmake --build --preset ${preset}"
      WORKING_DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR})
    set_tests_properties(build-${preset} PROPERTIES FIXTURES_SETUP ${preset})
  endforeach()

  set(WIN32_DIR ${CMAKE_CURRENT_SOURCE_DIR}/build/windows-x86)
  set(WIN64_DIR ${CMAKE_CURRENT_SOURCE_DIR}/build/windows-x64)
  add_test(NAME probe-win32 COMMAND probe_test)
  set_tests_properties(probe-win32 PROPERTIES FIXTURES_REQUIRED windows-x86 ENVIRONMENT
    "PROBE_RUNNER=wine;PROBE_SCRIPTED=${WIN32_DIR}/probe-scripted.exe;PROBE_RECORD_SIZE=12;PROBE_ADDRESS_DIGITS=8;PROBE_LINE_END=crlf")
  add_test(NAME probe-win64 COMMAND probe_test)
  set_tests_properties(probe-win64 PROPERTIES FIXTURES_REQUIRED windows-x64 ENVIRONMENT
    "PROBE_RUNNER=wine;PROBE_SCRIPTED=${WIN64_DIR}/probe-scripted.exe;PROBE_RECORD_SIZE=24;PROBE_ADDRESS_DIGITS=16;PROBE_LINE_END=crlf")
  add_test(NAME probe-wine-cups COMMAND probe_wine_test)
  set_tests_properties(probe-wine-cups PROPERTIES FIXTURES_REQUIRED "windows-x86;windows-x64" ENVIRONMENT
    "PRINTER_PROBE=$<TARGET_FILE:printer-probe>;PROBE_WIN32_EXE=${WIN32_DIR}/printer-probe.exe;PROBE_WIN64_EXE=${WIN64_DIR}/printer-probe.exe")
else()
  message(WARNING "mingw-w64 or Wine is missing: the Windows builds are not tested")
endif()

add_executable(probe_faults_test src/probe_faults_test.cc src/test_socket_proxy.cc src/test_fake_scheduler.cc)
target_link_libraries(probe_faults_test PRIVATE test_process GTest::gtest_main pthread)
add_test(NAME probe-faults COMMAND probe_faults_test)
set_tests_properties(probe-faults PROPERTIES ENVIRONMENT "PRINTER_PROBE=$<TARGET_FILE:printer-probe>")
