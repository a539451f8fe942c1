# The test program of the simulator's 8051 core (mcs51test.c), included from
# sim/CMakeLists.txt. As with the loader (Loader.cmake): with sdcc it is built
# here, without it the Intel HEX kept in this folder serves; the test
# mcs51_program_copy (tests/ezusb/tests.cmake) checks the copy against the sdcc
# build, and the target mcs51_program_update refreshes it. Either way the text
# reaches the test as a string literal in Mcs51TestProgram.inc, on the include
# path of qw_sim's users.

find_program(QW_SDCC sdcc)
set(qw_mcs51_kept "${CMAKE_CURRENT_LIST_DIR}/mcs51test.ihx")
set(qw_mcs51_dir "${CMAKE_CURRENT_BINARY_DIR}/mcs51test")
set(qw_mcs51_inc "${qw_mcs51_dir}/Mcs51TestProgram.inc")

if(QW_SDCC)
  set(qw_mcs51_ihx "${qw_mcs51_dir}/mcs51test.ihx")
  add_custom_command(OUTPUT "${qw_mcs51_ihx}"
    COMMAND "${QW_SDCC}" -mmcs51 --std-c11 --Werror --opt-code-size --code-size 0x3000
            -o "${qw_mcs51_ihx}" "${CMAKE_CURRENT_LIST_DIR}/mcs51test.c"
    DEPENDS "${CMAKE_CURRENT_LIST_DIR}/mcs51test.c"
    COMMENT "Building the 8051 core's test program with sdcc"
    VERBATIM)
  add_custom_target(mcs51_program_update
    COMMAND "${CMAKE_COMMAND}" -E copy "${qw_mcs51_ihx}" "${qw_mcs51_kept}"
    DEPENDS "${qw_mcs51_ihx}")
  set_property(TARGET qw_sim PROPERTY QW_MCS51_PROGRAM_BUILT "${qw_mcs51_ihx}")
  set_property(TARGET qw_sim PROPERTY QW_MCS51_PROGRAM_KEPT "${qw_mcs51_kept}")
else()
  set(qw_mcs51_ihx "${qw_mcs51_kept}")
endif()

add_custom_command(OUTPUT "${qw_mcs51_inc}"
  COMMAND "${CMAKE_COMMAND}" -DINPUT=${qw_mcs51_ihx} -DOUTPUT=${qw_mcs51_inc}
          -P "${CMAKE_CURRENT_LIST_DIR}/EmbedText.cmake"
  DEPENDS "${qw_mcs51_ihx}" "${CMAKE_CURRENT_LIST_DIR}/EmbedText.cmake"
  VERBATIM)
add_custom_target(mcs51_program DEPENDS "${qw_mcs51_inc}")
add_dependencies(qw_sim mcs51_program)
target_include_directories(qw_sim INTERFACE "$<BUILD_INTERFACE:${qw_mcs51_dir}>")
