# Release packages, made by CPack from what `cmake --install` lays out
# (scripts/package builds both):
#   Linux    a Debian package, quenwick-hwc_<version>_<arch>.deb, in Debian's
#            folders (configure with -DCMAKE_INSTALL_PREFIX=/usr), its
#            dependencies computed from the binaries by dpkg-shlibdeps;
#   Windows  a ZIP of one folder that runs as it is: the programs (static
#            runtime, only system DLLs imported), the README and WINDOWS.txt.
include(GNUInstallDirs)

set(qw_packaging "${PROJECT_SOURCE_DIR}/packaging")
if(WIN32)
  configure_file("${qw_packaging}/WINDOWS.txt.in" "${CMAKE_BINARY_DIR}/WINDOWS.txt" @ONLY NEWLINE_STYLE WIN32)
  install(FILES "${PROJECT_SOURCE_DIR}/README.md" "${CMAKE_BINARY_DIR}/WINDOWS.txt" DESTINATION .)
else()
  # Debian's documentation folder: the README, the copyright, and a changelog
  # whose entry is this version (a native package: changelog.gz).
  set(qw_docdir "${CMAKE_INSTALL_DATADIR}/doc/quenwick-hwc")
  string(TIMESTAMP QW_CHANGELOG_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
  configure_file("${qw_packaging}/changelog.in" "${CMAKE_BINARY_DIR}/packaging/changelog" @ONLY)
  add_custom_command(OUTPUT "${CMAKE_BINARY_DIR}/packaging/changelog.gz"
    COMMAND gzip -9 -n -f -k "${CMAKE_BINARY_DIR}/packaging/changelog"
    DEPENDS "${CMAKE_BINARY_DIR}/packaging/changelog" VERBATIM)
  add_custom_target(qw_changelog ALL DEPENDS "${CMAKE_BINARY_DIR}/packaging/changelog.gz")
  install(FILES "${PROJECT_SOURCE_DIR}/README.md" "${qw_packaging}/copyright"
                "${CMAKE_BINARY_DIR}/packaging/changelog.gz" DESTINATION "${qw_docdir}")
endif()

set(CPACK_PACKAGE_NAME quenwick-hwc)
set(CPACK_PACKAGE_VENDOR Quenwick)
set(CPACK_PACKAGE_CONTACT "Quenwick <packages@quenwick.example>")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "connects a protocol analyser to capture hardware")
set(CPACK_PACKAGE_DESCRIPTION
"quenwick-hwc opens one capture device (a serial port, or a USB line monitor of
the Plim family: Serial Plim, Serial Plim Pro, I2C/SPI Plim, Ethernet Plim) and
streams what it captures as framed messages to standard output, files, a
*.qwlog log, a TCP client or a local socket client, while the host drives the
device with framed commands. It also uploads FPGA firmware and EZ-USB EEPROM
images and lists serial ports.
.
The package also holds qwdump, which prints saved captures, and a Wireshark
capture interface (extcap) for the Plim devices.")
set(CPACK_STRIP_FILES ON)
set(CPACK_SOURCE_IGNORE_FILES "/build/;/\\\\.git/")

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME "quenwick-hwc-${PROJECT_VERSION}-windows-x64")
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
  set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
      OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
endif()
include(CPack)
