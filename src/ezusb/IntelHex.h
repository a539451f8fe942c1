#pragma once
// Intel HEX text into a RAM image starting at address 0, as the EZ-USB loader
// image is read.

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

constexpr size_t kIntelHexFailed = ~size_t{0};
// No record may end above this address; the image has room for exactly this many bytes.
constexpr size_t kIntelHexLimit = 0xFFFF;

// Records are the pieces of text between ':' marks (line breaks are not needed),
// decoded as pairs of hex digits with whitespace skipped between pairs; a
// record's decoding stops at its first pair that is not hex. Records of fewer
// than 4 bytes, and records of any type but data (0), are ignored: an
// end-of-file record ends nothing, and no checksum is checked. Gaps between
// data records read 0xFF.
//
// Returns the image's size, the highest end address of any data record, with
// `image` holding that many bytes. Fails with kIntelHexFailed and a text error:
// "invalid hex format" (the text does not begin with ':'), "hex line size out
// of range" (a record with fewer data bytes than its length byte says), "hex
// line offset out of range" (a record ending above kIntelHexLimit). Never reads
// outside `text` nor writes outside the image, whatever the text holds.
size_t parseIntelHex(std::string_view text, std::vector<uint8_t>& image);
