# The one table of file suffixes. A source whose name ends in one of these
# wraps that library or platform and is built for one product only; a file
# without a suffix is built for both. Modules (a `module/` folder) are built
# apart from the driver.
set(ORVELLA_WIN32_SUFFIXES win32 wininet gdiplus schannel)
set(ORVELLA_POSIX_SUFFIXES posix curl libpng gdkpixbuf gtk gnutls)
set(ORVELLA_MODULE_SUFFIXES ffmpeg)

# Drops from the list in `listvar` the files of the other product.
function(orvella_this_product listvar)
  if(WIN32)
    set(other ${ORVELLA_POSIX_SUFFIXES})
  else()
    set(other ${ORVELLA_WIN32_SUFFIXES})
  endif()
  list(JOIN other "|" alternatives)
  set(files ${${listvar}})
  list(FILTER files EXCLUDE REGEX "_(${alternatives})\\.(cpp|c)$")
  set(${listvar} ${files} PARENT_SCOPE)
endfunction()
