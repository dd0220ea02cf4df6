# Sanitized host builds.
#   SANITIZE (host-asan preset): AddressSanitizer and UndefinedBehaviorSanitizer
#     over the stand-in, the program and the test suite.
#   FUZZ (fuzz preset, clang): the same plus libFuzzer's coverage; the build
#     then holds the fuzz targets of fuzz/ instead of the test suite.
# Nothing recovers: the first report ends the process.
add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
add_link_options(-fsanitize=address,undefined)
if(FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    message(FATAL_ERROR "FUZZ needs clang (libFuzzer): configure with the fuzz preset")
  endif()
  # Optimised a little: executions per second count here, build time less.
  add_compile_options(-O1 -fsanitize=fuzzer-no-link)
endif()

# Every executable carries the sanitizers' default options, so that a binary
# the tests start as a subprocess fails as loudly as the test itself, however
# it is started; ASAN_OPTIONS and UBSAN_OPTIONS still override them.
add_library(sanitizer_defaults OBJECT ${CMAKE_CURRENT_LIST_DIR}/sanitizer_defaults.cpp)
link_libraries(sanitizer_defaults)
