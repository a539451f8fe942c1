# Extra cases beside qw_serial_tests. Under Wine: the Windows controller against a
# COM port that Wine maps onto a pty, the far end played by a Linux-side script.
if(WIN32 AND CMAKE_CROSSCOMPILING)
  find_program(QW_PYTHON3 python3 PATHS /usr/bin NO_DEFAULT_PATH)
  if(QW_PYTHON3)
    add_test(NAME qw_serial_com_port
      COMMAND ${QW_PYTHON3} "${CMAKE_CURRENT_LIST_DIR}/serial_com_port.py" $<TARGET_FILE:qw_serial_tests>)
    set_tests_properties(qw_serial_com_port PROPERTIES LABELS "unit;wine" TIMEOUT 300 ENVIRONMENT "WINEDEBUG=-all")
  endif()
endif()
