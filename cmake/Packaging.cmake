# Install rules (cmake --install) and the packages made from them:
#   win32:  cmake --build --preset win32 --target package  -> packages/Orvella-<version>-win32.zip
#   native: cmake --build --preset native --target package -> packages/orvella_<version>_<arch>.deb
# Sanitizer builds and builds without the tools make no packages.
if(ORVELLA_SANITIZE OR NOT TARGET orvella-host)
  return()
endif()
set(PACKAGING_DIR ${PROJECT_SOURCE_DIR}/packaging)
set(PACKAGING_OUT ${PROJECT_BINARY_DIR}/packaging)

if(WIN32)
  # One folder, as a user unpacks it: the DLL and its RTSP module are already
  # stripped (their debug information stays in the build tree as
  # <name>.dll.debug). Texts get CRLF for Notepad.
  install(PROGRAMS $<TARGET_FILE:orvella> DESTINATION .)
  install(PROGRAMS $<TARGET_FILE:orvella_rtsp> DESTINATION ${ORVELLA_INSTALL_PRIVATEDIR})
  install(TARGETS orvella-host orvella-simcam RUNTIME DESTINATION .)
  configure_file(${PACKAGING_DIR}/README-windows.txt ${PACKAGING_OUT}/README.txt @ONLY NEWLINE_STYLE CRLF)
  configure_file(${PACKAGING_DIR}/Orvella.ini ${PACKAGING_OUT}/Orvella.ini @ONLY NEWLINE_STYLE CRLF)
  install(FILES ${PACKAGING_OUT}/README.txt ${PACKAGING_OUT}/Orvella.ini ${PROJECT_SOURCE_DIR}/src/driver/Orvella.h
    DESTINATION .)
else()
  install(TARGETS orvella EXPORT OrvellaTargets
    LIBRARY DESTINATION ${ORVELLA_INSTALL_LIBDIR})
  if(TARGET orvella_rtsp)
    install(TARGETS orvella_rtsp LIBRARY DESTINATION ${ORVELLA_INSTALL_PRIVATEDIR})
  endif()
  if(TARGET orvella_dialog)
    install(TARGETS orvella_dialog LIBRARY DESTINATION ${ORVELLA_INSTALL_PRIVATEDIR})
  endif()
  install(FILES ${PROJECT_SOURCE_DIR}/src/driver/Orvella.h DESTINATION ${ORVELLA_INSTALL_INCLUDEDIR})
  install(TARGETS orvella-host orvella-simcam RUNTIME DESTINATION ${ORVELLA_INSTALL_BINDIR})
  if(TARGET orvella-viewer)
    install(TARGETS orvella-viewer RUNTIME DESTINATION ${ORVELLA_INSTALL_BINDIR})
  endif()

  # find_package(Orvella) gives the imported target Orvella::orvella.
  include(CMakePackageConfigHelpers)
  set(CMAKE_DIR ${ORVELLA_INSTALL_LIBDIR}/cmake/Orvella)
  install(EXPORT OrvellaTargets NAMESPACE Orvella:: FILE OrvellaConfig.cmake DESTINATION ${CMAKE_DIR})
  write_basic_package_version_file(${PACKAGING_OUT}/OrvellaConfigVersion.cmake COMPATIBILITY SameMajorVersion)
  install(FILES ${PACKAGING_OUT}/OrvellaConfigVersion.cmake DESTINATION ${CMAKE_DIR})

  # pkg-config: the prefix is the install's own (--prefix, or /usr in the
  # package), known only when installing.
  configure_file(${PACKAGING_DIR}/orvella.pc.in ${PACKAGING_OUT}/orvella.pc.body @ONLY)
  install(CODE "
    file(READ \"${PACKAGING_OUT}/orvella.pc.body\" body)
    file(WRITE \"${PACKAGING_OUT}/orvella.pc\" \"prefix=\${CMAKE_INSTALL_PREFIX}\\n\${body}\")
    file(INSTALL \"${PACKAGING_OUT}/orvella.pc\" DESTINATION \"\${CMAKE_INSTALL_PREFIX}/${ORVELLA_INSTALL_LIBDIR}/pkgconfig\")")

  # What Debian asks of every package: copyright and changelog in its doc folder.
  find_program(GZIP gzip REQUIRED)
  configure_file(${PACKAGING_DIR}/changelog ${PACKAGING_OUT}/changelog @ONLY)
  execute_process(COMMAND ${GZIP} -9nc ${PACKAGING_OUT}/changelog OUTPUT_FILE ${PACKAGING_OUT}/changelog.gz)
  install(FILES ${PACKAGING_DIR}/copyright ${PACKAGING_OUT}/changelog.gz DESTINATION ${ORVELLA_INSTALL_DOCDIR})
  install(FILES ${PACKAGING_DIR}/Orvella.ini DESTINATION ${ORVELLA_INSTALL_DOCDIR}/examples)
endif()

set(CPACK_PACKAGE_NAME orvella)
set(CPACK_PACKAGE_VENDOR Orvella)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "camera driver for machine-vision hosts (network cameras over HTTP and FTP)")
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)
set(CPACK_STRIP_FILES ON)
set(CPACK_OUTPUT_CONFIG_FILE ${PROJECT_BINARY_DIR}/CPackConfig.cmake)
if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME Orvella-${PROJECT_VERSION}-win32)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  # Installed as /usr: the pkg-config file's prefix is written while installing.
  set(CPACK_SET_DESTDIR ON)
  set(CPACK_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Orvella developers <developers@orvella.example>")
  set(CPACK_DEBIAN_PACKAGE_SECTION libs)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  # Our own shlibs file (what packages linking liborvella.so.1 depend on) and
  # the ldconfig trigger, instead of CPack's maintainer scripts calling ldconfig.
  configure_file(${PACKAGING_DIR}/shlibs ${PACKAGING_OUT}/shlibs @ONLY)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${PACKAGING_OUT}/shlibs ${PACKAGING_DIR}/triggers)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
  set(CPACK_DEBIAN_PACKAGE_SUGGESTS python3-pyftpdlib)
  set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "The driver library liborvella.so.1 turns network cameras that publish a still
picture at an http:// or ftp:// URL into images a host copies out row by row,
through 17 plain C functions (Orvella.h). Ten camera slots, an INI settings
file, a diagnostic log and a GTK settings dialog, loaded only when shown.

With the header, pkg-config and CMake files, the sample host orvella-host,
the simulated camera orvella-simcam and the live viewer orvella-viewer.")
endif()
include(CPack)
