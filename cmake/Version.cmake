# One version for everything, from project(VERSION): the Windows programs'
# version resources, the Linux library's file name and SONAME, the packages'
# names and what the tools print for --version.
if(NOT PROJECT_VERSION_TWEAK)
  set(PROJECT_VERSION_TWEAK 0)
endif()
set(ORVELLA_VERSION_COMMAS
  "${PROJECT_VERSION_MAJOR},${PROJECT_VERSION_MINOR},${PROJECT_VERSION_PATCH},${PROJECT_VERSION_TWEAK}")

# Gives a Windows target a version resource (file and product version,
# product name, `description`). Does nothing elsewhere.
function(orvella_version_resource target description)
  if(NOT WIN32)
    return()
  endif()
  get_target_property(type ${target} TYPE)
  get_target_property(name ${target} OUTPUT_NAME)
  if(NOT name)
    set(name ${target})
  endif()
  set(RC_VERSION_COMMAS ${ORVELLA_VERSION_COMMAS})
  set(RC_DESCRIPTION "${description}")
  set(RC_INTERNAL_NAME ${name})
  if(type STREQUAL "EXECUTABLE")
    set(RC_FILE_TYPE VFT_APP)
    set(RC_FILE_NAME ${name}.exe)
  else()
    set(RC_FILE_TYPE VFT_DLL)
    set(RC_FILE_NAME ${name}.dll)
  endif()
  set(rc ${CMAKE_CURRENT_BINARY_DIR}/${target}-version.rc)
  configure_file(${PROJECT_SOURCE_DIR}/src/resources/Version.rc.in ${rc} @ONLY)
  target_sources(${target} PRIVATE ${rc})
endfunction()
