# Test programs. The scripted probe builds for every platform, Windows
# included; the GoogleTest suites run natively and drive the Windows builds
# through Wine.

# The probe against a scripted spooler, counting its heap blocks.
add_library(probe_counted OBJECT src/probe.cc)
target_include_directories(probe_counted PRIVATE src)
target_compile_options(probe_counted PRIVATE -include ${CMAKE_CURRENT_SOURCE_DIR}/src/test_scripted_spooler.h)
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
