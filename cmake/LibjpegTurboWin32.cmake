# libjpeg-turbo for the DLL: Debian's source of the version the Linux product
# links, cross-built once as a static library with its SIMD code
# (libjpeg-turbo-win32.sh) and kept outside the build tree, so neither a
# rebuild nor a fresh build tree fetches or compiles it again.
set(ORVELLA_THIRD_PARTY_DIR "${CMAKE_SOURCE_DIR}/build/third-party" CACHE PATH
    "Where third-party libraries built for the DLL are kept")
execute_process(
  COMMAND sh ${CMAKE_CURRENT_LIST_DIR}/libjpeg-turbo-win32.sh ${ORVELLA_THIRD_PARTY_DIR} ${CMAKE_C_COMPILER}
  OUTPUT_VARIABLE LIBJPEG_TURBO_DIR OUTPUT_STRIP_TRAILING_WHITESPACE
  RESULT_VARIABLE result)
if(NOT result EQUAL 0 OR NOT EXISTS "${LIBJPEG_TURBO_DIR}/lib/libjpeg.a")
  message(FATAL_ERROR "libjpeg-turbo for Windows could not be built (see the output above)")
endif()
add_library(orvella_libjpeg STATIC IMPORTED GLOBAL)
set_target_properties(orvella_libjpeg PROPERTIES
  IMPORTED_LOCATION "${LIBJPEG_TURBO_DIR}/lib/libjpeg.a"
  INTERFACE_INCLUDE_DIRECTORIES "${LIBJPEG_TURBO_DIR}/include")
