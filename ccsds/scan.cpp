#include "scan.hpp"

namespace kestrune::ccsds {

ScanResult scan_packets(const unsigned char* data, std::size_t size, std::size_t prefix_bytes) {
    ScanResult r;
    // Packets are rarely shorter than 16 bytes; a guess that avoids most
    // regrowth without reserving far too much for long packets.
    const std::size_t guess = size / (prefix_bytes + 16) + 1;
    r.offsets.reserve(guess);
    r.lengths.reserve(guess);
    r.apids.reserve(guess);
    r.sequence_counts.reserve(guess);
    r.sequence_flags.reserve(guess);
    r.packet_types.reserve(guess);
    std::size_t o = 0;
    while (o < size) {
        const std::size_t remain = size - o;
        if (remain < prefix_bytes || remain - prefix_bytes < 6) {
            r.stop = ScanStop::ShortHeader;
            r.stop_offset = o;
            r.needed = std::uint64_t{prefix_bytes} + 6;
            r.available = remain;
            return r;
        }
        const unsigned char* h = data + o + prefix_bytes;
        const std::size_t length = ((std::size_t{h[4]} << 8) | h[5]) + 7;
        if (remain - prefix_bytes < length) {
            r.stop = ScanStop::ShortPacket;
            r.stop_offset = o;
            r.needed = std::uint64_t{prefix_bytes} + length;
            r.available = remain;
            return r;
        }
        r.offsets.push_back(o + prefix_bytes);
        r.lengths.push_back(static_cast<std::uint32_t>(length));
        r.apids.push_back(static_cast<std::uint16_t>(((h[0] & 0x07u) << 8) | h[1]));
        r.packet_types.push_back(static_cast<std::uint8_t>((h[0] >> 4) & 1u));
        r.sequence_flags.push_back(static_cast<std::uint8_t>(h[2] >> 6));
        r.sequence_counts.push_back(static_cast<std::uint16_t>(((h[2] & 0x3Fu) << 8) | h[3]));
        o += prefix_bytes + length;
    }
    r.stop_offset = o;
    return r;
}

}  // namespace kestrune::ccsds
