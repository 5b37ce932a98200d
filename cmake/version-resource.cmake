# Gives a Windows executable a version resource from the project's one version.
function(tavorin_version_resource target description)
  if(NOT WIN32)
    return()
  endif()
  set(TAVORIN_TARGET ${target})
  set(TAVORIN_DESCRIPTION "${description}")
  configure_file(${PROJECT_SOURCE_DIR}/cmake/version.rc.in
                 ${CMAKE_CURRENT_BINARY_DIR}/${target}.rc @ONLY)
  target_sources(${target} PRIVATE ${CMAKE_CURRENT_BINARY_DIR}/${target}.rc)
endfunction()
