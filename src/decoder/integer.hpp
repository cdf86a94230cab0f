// Integer decoders: raw pattern -> signed value. They never fail.
#pragma once

#include <cstdint>

namespace kestrune {

std::int64_t decode_sign_magnitude(std::uint64_t value, std::uint32_t bits);
std::int64_t decode_ones_complement(std::uint64_t value, std::uint32_t bits);
std::int64_t decode_twos_complement(std::uint64_t value, std::uint32_t bits);

}  // namespace kestrune
