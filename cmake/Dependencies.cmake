# Third-party pieces: libusb (the real one natively, loaded at run time on
# Windows), ICU on Linux, GoogleTest and Google Benchmark.

find_package(Threads REQUIRED)

# The libusb header is portable; the mingw build takes it from the Debian package
# because no mingw libusb exists. Only that one folder is added to its include path.
find_path(QW_LIBUSB_INCLUDE_DIR libusb.h
  PATHS /usr/include/libusb-1.0 NO_CMAKE_FIND_ROOT_PATH REQUIRED)

if(NOT WIN32)
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(LIBUSB REQUIRED IMPORTED_TARGET libusb-1.0)
  find_package(ICU REQUIRED COMPONENTS uc)
endif()

if(QW_TESTS)
  if(WIN32)
    set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
    set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
    add_subdirectory(/usr/src/googletest "${CMAKE_BINARY_DIR}/googletest" EXCLUDE_FROM_ALL)
    add_library(qw_gtest INTERFACE)
    target_link_libraries(qw_gtest INTERFACE gtest gmock)
  else()
    find_package(GTest REQUIRED)
    add_library(qw_gtest INTERFACE)
    target_link_libraries(qw_gtest INTERFACE GTest::gtest GTest::gmock)
  endif()
endif()

# Which libusb a program links is the program's own choice, made with its QW_LIBUSB
# property: "system" for the programs we ship, unset for every test program,
# fuzzer and benchmark, which run on the simulator's static library, so none links
# two libusbs. On Linux "system" is the real libusb (pkg-config); on Windows it is
# libusb-1.0.dll, loaded at run time by qw_libusb_dll (no import library, so the
# program starts without the DLL). qw_usb links qw_libusb, which puts the chosen
# one after the USB code.
set(QW_PROGRAM_LIBUSB system)
if(WIN32)
  set(qw_system_libusb qw_libusb_dll)
else()
  set(qw_system_libusb "PkgConfig::LIBUSB;qw_libusb_linked")
endif()
add_library(qw_libusb INTERFACE)
target_link_libraries(qw_libusb INTERFACE
  "$<IF:$<STREQUAL:$<TARGET_PROPERTY:QW_LIBUSB>,system>,${qw_system_libusb},qw_sim;qw_libusb_linked>")
