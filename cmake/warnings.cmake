# Warnings for every target of the project, on g++ and mingw-w64 alike.
add_library(tavorin_warnings INTERFACE)
target_compile_options(tavorin_warnings INTERFACE
  -Wall
  -Wextra
  -Wpedantic
  -Wshadow                # a local hiding another is a bug waiting to happen
  -Wconversion            # byte counts and ports change width on the way
  -Wsign-conversion
  -Wold-style-cast
  -Wcast-align
  -Wnull-dereference
  -Wformat=2              # every message goes through printf-style formats
  -Wimplicit-fallthrough
  -Wundef
  $<$<BOOL:${TAVORIN_WARNINGS_AS_ERRORS}>:-Werror>)
