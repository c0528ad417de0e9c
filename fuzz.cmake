# The libFuzzer target for the packing of printer records into the caller's
# buffer. libFuzzer comes with clang alone, so any other compiler stops the
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
target_include_directories(printer-pack_fuzz PRIVATE src)
target_compile_options(printer-pack_fuzz PRIVATE ${PRINTER_PROBE_FUZZ_FLAGS})
target_link_options(printer-pack_fuzz PRIVATE ${PRINTER_PROBE_FUZZ_FLAGS})
