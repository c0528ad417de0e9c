# The libFuzzer targets: the packing of printer records into the caller's
# buffer, and the reading of the scheduler's answer beside libcups's.
# libFuzzer comes with clang alone, so any other compiler stops the
# configure here rather than failing later at link time.
if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
  message(FATAL_ERROR "PRINTER_PROBE_FUZZ needs clang (libFuzzer); "
                      "configure with the fuzz preset, which sets CMAKE_CXX_COMPILER=clang++")
endif()

# Without -fno-sanitize-recover, UBSan only prints and the fuzzer goes on as
# if the input were clean.
set(PRINTER_PROBE_FUZZ_FLAGS
    -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)

add_executable(printer-pack_fuzz src/printer-pack_fuzz.cc src/printer-pack.cc src/utf8.cc)
add_executable(printer-answer_fuzz src/printer-answer_fuzz.cc src/printer-answer.cc)
target_include_directories(printer-answer_fuzz PRIVATE ${CUPS_INCLUDE_DIR})
target_link_libraries(printer-answer_fuzz PRIVATE ${CUPS_LIBRARY})
foreach(target printer-pack_fuzz printer-answer_fuzz)
  target_include_directories(${target} PRIVATE src)
  target_compile_options(${target} PRIVATE ${PRINTER_PROBE_FUZZ_FLAGS})
  target_link_options(${target} PRIVATE ${PRINTER_PROBE_FUZZ_FLAGS})
endforeach()
