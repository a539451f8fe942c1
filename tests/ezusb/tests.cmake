# The kept copy of the generated loader source must be what sdcc makes of
# firmware/loader.c (firmware/Loader.cmake); only builds with sdcc can tell.
get_target_property(built qw_ezusb QW_LOADER_BUILT)
get_target_property(kept qw_ezusb QW_LOADER_KEPT)
if(built)
  add_test(NAME ezusb_loader_copy COMMAND "${CMAKE_COMMAND}" -E compare_files --ignore-eol "${kept}" "${built}")
  set_tests_properties(ezusb_loader_copy PROPERTIES LABELS unit)
endif()

# The same for the 8051 core's test program (firmware/Mcs51Test.cmake).
get_target_property(built qw_sim QW_MCS51_PROGRAM_BUILT)
get_target_property(kept qw_sim QW_MCS51_PROGRAM_KEPT)
if(built)
  add_test(NAME mcs51_program_copy COMMAND "${CMAKE_COMMAND}" -E compare_files --ignore-eol "${kept}" "${built}")
  set_tests_properties(mcs51_program_copy PROPERTIES LABELS unit)
endif()
