// Binary-coded decimal encoders: signed value -> raw pattern.
#pragma once

#include <cstdint>

#include "../error.hpp"

namespace kestrune {

Result<std::uint64_t> encode_packed_bcd(std::int64_t value, std::uint32_t bits, bool is_signed);
Result<std::uint64_t> encode_unpacked_bcd(std::int64_t value, std::uint32_t bits, bool is_signed);

}  // namespace kestrune
