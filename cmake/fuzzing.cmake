# libFuzzer builds: coverage for everything, the fuzzer's main for the targets.
option(TAVORIN_FUZZ "Build the libFuzzer targets (clang)" OFF)

if(TAVORIN_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "The fuzz targets need clang's libFuzzer; configure with the fuzz preset")
  endif()
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all
                      -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()
