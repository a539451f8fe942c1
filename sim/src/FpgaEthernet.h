#pragma once
// The Ethernet Plim's capture stream in scenario statements of the fpga model:
// frames wrapped as the device sends them (a header word with the length, the
// frame, zero padding to the next word), idle words, and the frames of a pcap
// file. README.md lists the statements.

#include <string>

#include "GenericModel.h"

namespace qwsim {

bool isEthernetStatement(const std::string& keyword);
// Appends the statement's words to what the stream delivers. Empty when taken,
// else the complaint.
std::string configureEthernet(const Statement& st, GenericModel& stream, uint8_t endpoint);

}  // namespace qwsim
