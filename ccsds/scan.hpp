// The packet scanner: walks the primary headers of a buffer of
// concatenated space packets (each optionally behind a fixed-size record
// prefix) and lists where each packet lies and what its header says.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kestrune::ccsds {

enum class ScanStop : std::uint8_t {
    End,          // the buffer ends exactly after the last packet
    ShortHeader,  // fewer bytes remain than a record prefix and a primary header
    ShortPacket,  // the header's length runs past the end of the buffer
};

struct ScanResult {
    std::vector<std::uint64_t> offsets;  // of each primary header
    std::vector<std::uint32_t> lengths;  // header + data field, in bytes
    std::vector<std::uint16_t> apids;
    std::vector<std::uint16_t> sequence_counts;
    std::vector<std::uint8_t> sequence_flags;
    std::vector<std::uint8_t> packet_types;
    ScanStop stop = ScanStop::End;
    std::uint64_t stop_offset = 0;  // start of the record that did not fit
    std::uint64_t needed = 0;       // bytes that record needs (prefix included)
    std::uint64_t available = 0;    // bytes that remain from stop_offset
};

ScanResult scan_packets(const unsigned char* data, std::size_t size, std::size_t prefix_bytes);

}  // namespace kestrune::ccsds
