# Third-party pieces: libusb (the real one natively, the simulator's DLL on Windows),
# ICU on Linux, GoogleTest and Google Benchmark.

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
# property: "system" the real libusb (pkg-config), "sim-shared" the simulator's
# shared library, unset the simulator's static library — so every test program,
# fuzzer and benchmark runs on simulated devices and none links two libusbs.
# qw_usb links qw_libusb, which puts the chosen one after the USB code.
if(WIN32)
  option(QW_WIN_SYSTEM_LIBUSB "Link quenwick-hwc.exe with a libusb found by pkg-config instead of the simulator" OFF)
  if(QW_WIN_SYSTEM_LIBUSB)
    find_package(PkgConfig REQUIRED)
    pkg_check_modules(LIBUSB REQUIRED IMPORTED_TARGET libusb-1.0)
    set(QW_PROGRAM_LIBUSB system)
  else()
    set(QW_PROGRAM_LIBUSB sim-shared)
  endif()
else()
  set(QW_PROGRAM_LIBUSB system)
endif()
add_library(qw_libusb INTERFACE)
target_link_libraries(qw_libusb INTERFACE
  "$<IF:$<STREQUAL:$<TARGET_PROPERTY:QW_LIBUSB>,system>,PkgConfig::LIBUSB,$<IF:$<STREQUAL:$<TARGET_PROPERTY:QW_LIBUSB>,sim-shared>,qw_sim_shared,qw_sim>>")
