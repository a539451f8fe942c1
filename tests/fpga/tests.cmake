# The pcap read-back test (EthernetPcapFileTest_posix.cpp) reads the program's
# files with libpcap, which the Windows build does not have.
if(NOT WIN32)
  find_library(QW_PCAP_LIBRARY pcap REQUIRED)
  target_link_libraries(qw_fpga_tests PRIVATE ${QW_PCAP_LIBRARY})
endif()
