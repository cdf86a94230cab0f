// Binary-coded decimal decoders: raw pattern -> signed value.
#pragma once

#include <cstdint>

#include "../error.hpp"

namespace kestrune {

Result<std::int64_t> decode_packed_bcd(std::uint64_t value, std::uint32_t bits, bool is_signed);
Result<std::int64_t> decode_unpacked_bcd(std::uint64_t value, std::uint32_t bits, bool is_signed);

}  // namespace kestrune
