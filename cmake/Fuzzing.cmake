# CALYRA_FUZZ=ON builds the libFuzzer targets of fuzz/ (clang only). All code
# is compiled with coverage instrumentation for the fuzzer and with
# AddressSanitizer and UndefinedBehaviorSanitizer; only the fuzz executables
# link the fuzzer's main. Build the target calyra_fuzz_targets (scripts/fuzz
# does): the rest of such a tree is not meant to link.
option(CALYRA_FUZZ "Build the libFuzzer targets (needs clang)" OFF)

if(CALYRA_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang" OR NOT CMAKE_C_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "CALYRA_FUZZ needs clang: configure with CC=clang CXX=clang++")
  endif()
  if(NOT CALYRA_SANITIZE STREQUAL "")
    message(FATAL_ERROR "CALYRA_FUZZ brings its own sanitizers; leave CALYRA_SANITIZE empty")
  endif()
  set(CALYRA_FUZZ_SANITIZERS address,undefined)
  add_compile_options(-fsanitize=fuzzer-no-link,${CALYRA_FUZZ_SANITIZERS}
                      -fno-sanitize-recover=all -fno-omit-frame-pointer)
endif()
