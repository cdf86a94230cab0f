// Binary-coded decimal encoders: signed value -> raw pattern.
#pragma once

#include <cstdint>

#include "../error.hpp"

namespace kestrune {

// What an encoder checks the value against. Both first check the width, the
// sign and the field's own digit count. `Pattern` then also refuses a value
// whose digits would reach past bit 63 of the raw pattern, which holds at most
// 16 packed nibbles or 8 unpacked bytes. `Field` stops after the field's
// checks: for fields wider than 64 bits its pattern keeps only the field's low
// 64 bits, so it is only for callers that refuse such fields themselves.
enum class BcdLimit { Pattern, Field };

Result<std::uint64_t> encode_packed_bcd(std::int64_t value, std::uint32_t bits, bool is_signed,
                                        BcdLimit limit = BcdLimit::Pattern);
Result<std::uint64_t> encode_unpacked_bcd(std::int64_t value, std::uint32_t bits, bool is_signed,
                                          BcdLimit limit = BcdLimit::Pattern);

}  // namespace kestrune
