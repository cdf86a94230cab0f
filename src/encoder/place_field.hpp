// Placing a field's bits into a packet: pure bit arithmetic on byte buffers,
// used by the packet builder.
#pragma once

#include <cstdint>

namespace kestrune::builder {

// Writes exactly `bits` packet bits starting at packet bit `off` from the
// last `bits` bits of `src` (`len` bytes; when `src` holds fewer bits than
// `bits`, it fills the start of the field and the rest is zero). Bits are
// replaced, not ORed; bits that fall outside the packet are not written.
void place_field(std::uint8_t* packet, std::uint64_t packet_size, std::uint64_t off, const std::uint8_t* src,
                 std::uint64_t len, std::uint32_t bits) noexcept;

}  // namespace kestrune::builder
