# Third-party libraries of the Windows product: Debian's sources, fetched
# through a private apt configuration and cross-built once, static, by a
# script beside this file that prints where it installed them
# (libjpeg-turbo-win32.sh, ffmpeg-win32.sh). They are kept outside the build
# tree, keyed by version, so neither a rebuild nor a fresh build tree fetches
# or compiles them again.
set(ORVELLA_THIRD_PARTY_DIR "${CMAKE_SOURCE_DIR}/build/third-party" CACHE PATH
    "Where third-party libraries built for the DLL are kept")

# orvella_cross_built(TARGET SCRIPT LIB...): runs SCRIPT and makes TARGET, an
# imported library linking its static lib<LIB>.a in the order given.
function(orvella_cross_built target script)
  execute_process(
    COMMAND sh ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/${script} ${ORVELLA_THIRD_PARTY_DIR} ${CMAKE_C_COMPILER}
    OUTPUT_VARIABLE dir OUTPUT_STRIP_TRAILING_WHITESPACE
    RESULT_VARIABLE result)
  set(archives "")
  foreach(lib IN LISTS ARGN)
    if(NOT result EQUAL 0 OR NOT EXISTS "${dir}/lib/lib${lib}.a")
      message(FATAL_ERROR "${script} could not build lib${lib} for Windows (see the output above)")
    endif()
    list(APPEND archives "${dir}/lib/lib${lib}.a")
  endforeach()
  add_library(${target} INTERFACE IMPORTED GLOBAL)
  set_target_properties(${target} PROPERTIES
    INTERFACE_LINK_LIBRARIES "${archives}"
    INTERFACE_INCLUDE_DIRECTORIES "${dir}/include")
endfunction()
