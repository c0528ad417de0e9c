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

add_library(test_process STATIC src/test_process.cc)
target_include_directories(test_process PUBLIC src)

add_executable(probe_test src/probe_test.cc)
target_link_libraries(probe_test PRIVATE test_process GTest::gtest_main)
add_test(NAME probe COMMAND probe_test)
set_tests_properties(probe PROPERTIES ENVIRONMENT "PROBE_SCRIPTED=$<TARGET_FILE:probe-scripted>")
