# AddressSanitizer and UndefinedBehaviorSanitizer for every target, when asked.
option(TAVORIN_SANITIZERS "Build everything with ASan and UBSan" OFF)

if(TAVORIN_SANITIZERS)
  if(WIN32)
    message(FATAL_ERROR "The sanitizers are for the native build; mingw-w64 has no runtime for them")
  endif()
  include(CheckCXXSourceCompiles)
  set(CMAKE_REQUIRED_FLAGS "-fsanitize=address,undefined")
  set(CMAKE_REQUIRED_LINK_OPTIONS "-fsanitize=address,undefined")
  check_cxx_source_compiles("int main() { return 0; }" TAVORIN_HAVE_SANITIZERS)
  unset(CMAKE_REQUIRED_FLAGS)
  unset(CMAKE_REQUIRED_LINK_OPTIONS)
  if(NOT TAVORIN_HAVE_SANITIZERS)
    message(FATAL_ERROR "This compiler cannot build with -fsanitize=address,undefined")
  endif()
  # Any report ends the process, so a test can never pass over one.
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all
                      -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined -fno-sanitize-recover=all)
endif()
