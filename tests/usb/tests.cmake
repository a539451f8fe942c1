# Beside qw_usb_tests: a small program linked like quenwick-hwc (the system libusb
# on Linux, the simulator's DLL on Windows) that tests/e2e/test_usb_sim.py runs
# against the simulator's shared library. It lands beside the program.
add_executable(qw_usb_probe "${CMAKE_CURRENT_LIST_DIR}/probe/usb_probe.cpp")
target_link_libraries(qw_usb_probe PRIVATE qw_usb)
set_target_properties(qw_usb_probe PROPERTIES
  QW_LIBUSB ${QW_PROGRAM_LIBUSB} RUNTIME_OUTPUT_DIRECTORY "${CMAKE_BINARY_DIR}/src")
