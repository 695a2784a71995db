# Where an install puts things, relative to its prefix. Windows: everything
# in one folder, as a user unpacks the zip, the RTSP module in the driver's
# private folder "orvella" below it. Linux: the GNU layout with
# Debian's multiarch library folder (the loader searches it under /usr/local
# too), the header in include/orvella, the dialog module in the driver's
# private folder "orvella" beside the library (where the driver looks for it)
# and the documents under the package's name.
if(WIN32)
  foreach(kind BIN LIB INCLUDE DOC)
    set(ORVELLA_INSTALL_${kind}DIR .)
  endforeach()
  set(ORVELLA_INSTALL_PRIVATEDIR orvella)
  return()
endif()
include(GNUInstallDirs)
set(libdir lib)
if(CMAKE_LIBRARY_ARCHITECTURE)
  set(libdir lib/${CMAKE_LIBRARY_ARCHITECTURE})
endif()
set(ORVELLA_INSTALL_LIBDIR ${libdir} CACHE PATH "Where the library installs, relative to the prefix")
set(ORVELLA_INSTALL_BINDIR ${CMAKE_INSTALL_BINDIR})
set(ORVELLA_INSTALL_INCLUDEDIR ${CMAKE_INSTALL_INCLUDEDIR}/orvella)
set(ORVELLA_INSTALL_DOCDIR ${CMAKE_INSTALL_DATAROOTDIR}/doc/orvella)
set(ORVELLA_INSTALL_PRIVATEDIR ${ORVELLA_INSTALL_LIBDIR}/orvella)
