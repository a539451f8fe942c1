#pragma once
// qwdump: prints a framed message stream (a capture file, split files in
// order, standard input) or a *.qwlog file, one line per message or record.
//
//   qwdump [--device FAMILY] [--json] [--stats] [--follow] FILE... | -
//   qwdump [--device FAMILY] --pcap OUT [--pcap-messages] FILE... | -
//
// With --pcap the captures are written as one pcap file (PcapConverter) instead
// of being printed; what its link type has no place for is counted on standard
// error.
//
// Exit status: 0, or 1 when the input held bytes that are no message (they
// are skipped and named on standard error with their offset), or 2 when the
// command line is wrong or a file cannot be read.

#include <cstdio>
#include <string>
#include <vector>

int runQwdump(const std::vector<std::string>& args, std::FILE* out, std::FILE* err);
