# The EZ-USB EEPROM loader (loader.c, 8051 C) embedded in qw_ezusb, included
# from src/ezusb/CMakeLists.txt.
#
# With sdcc the loader is built here into Intel HEX (warnings are errors; the
# link fails past 4 KiB, half the smallest FX2's program RAM), and
# cmake/EmbedIntelHex.cmake turns that into EzUsbLoaderHex.cpp, the text as a
# constant. Builds without sdcc (or with -DQW_SDCC=OFF) compile the copy of
# that file kept in this folder, so the program is the same with or without it. The test
# ezusb_loader_copy (tests/ezusb/tests.cmake) checks the copy against the sdcc
# build; the target ezusb_loader_update refreshes it.

find_program(QW_SDCC sdcc)
set(qw_loader_kept "${CMAKE_CURRENT_LIST_DIR}/EzUsbLoaderHex.cpp")

if(QW_SDCC)
  set(qw_loader_ihx "${CMAKE_CURRENT_BINARY_DIR}/loader.ihx")
  set(qw_loader_cpp "${CMAKE_CURRENT_BINARY_DIR}/EzUsbLoaderHex.cpp")
  add_custom_command(OUTPUT "${qw_loader_ihx}"
    COMMAND "${QW_SDCC}" -mmcs51 --std-c11 --Werror --opt-code-size
            --code-size 0x1000 --xram-loc 0xE000 --xram-size 0x200
            -o "${qw_loader_ihx}" "${CMAKE_CURRENT_LIST_DIR}/loader.c"
    DEPENDS "${CMAKE_CURRENT_LIST_DIR}/loader.c" "${CMAKE_CURRENT_LIST_DIR}/fx2.h"
    COMMENT "Building the EZ-USB loader with sdcc"
    VERBATIM)
  add_custom_command(OUTPUT "${qw_loader_cpp}"
    COMMAND "${CMAKE_COMMAND}" -DINPUT=${qw_loader_ihx} -DOUTPUT=${qw_loader_cpp}
            -P "${PROJECT_SOURCE_DIR}/cmake/EmbedIntelHex.cmake"
    DEPENDS "${qw_loader_ihx}" "${PROJECT_SOURCE_DIR}/cmake/EmbedIntelHex.cmake"
    VERBATIM)
  add_custom_target(ezusb_loader_update
    COMMAND "${CMAKE_COMMAND}" -E copy "${qw_loader_cpp}" "${qw_loader_kept}"
    DEPENDS "${qw_loader_cpp}")
  target_sources(qw_ezusb PRIVATE "${qw_loader_cpp}")
  set_property(TARGET qw_ezusb PROPERTY QW_LOADER_BUILT "${qw_loader_cpp}")
  set_property(TARGET qw_ezusb PROPERTY QW_LOADER_KEPT "${qw_loader_kept}")
else()
  target_sources(qw_ezusb PRIVATE "${qw_loader_kept}")
endif()
