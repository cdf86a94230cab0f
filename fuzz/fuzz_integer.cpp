// Integer codecs against references in 128-bit arithmetic, written from the
// definitions: the range of each form, the pattern as value modulo 2^bits,
// and the byte forms built one bit at a time.
#include <cstring>
#include <string>
#include <vector>

#include "decoder/integer.hpp"
#include "encoder/integer.hpp"
#include "fuzz_check.hpp"

using namespace kestrune;
using i128 = __int128;
using u128 = unsigned __int128;

namespace {

std::string dec(i128 v) {
    if (v == 0) {
        return "0";
    }
    const bool negative = v < 0;
    u128 m = negative ? -static_cast<u128>(v) : static_cast<u128>(v);
    std::string s;
    for (; m != 0; m /= 10) {
        s.insert(s.begin(), static_cast<char>('0' + static_cast<int>(m % 10)));
    }
    return negative ? "-" + s : s;
}

i128 pow2(std::uint32_t k) { return static_cast<i128>(1) << k; }

using Ref = std::string;  // "ok <pattern>" or "error <message>"
Ref ok(i128 pattern) { return "ok " + dec(pattern); }
Ref error(const std::string& message) { return "error " + message; }

Ref ref_twos(i128 v, std::uint32_t bits) {
    if (bits > 64) {
        return error("bits must be <= 64 for two's complement encoding");
    }
    if (bits == 64) {
        return ok(v < 0 ? v + pow2(64) : v);
    }
    // A zero width holds only zero.
    const i128 min = bits == 0 ? 0 : -pow2(bits - 1);
    const i128 max = bits == 0 ? 0 : pow2(bits - 1) - 1;
    if (v < min || v > max) {
        return error("Value " + dec(v) + " out of range for " + dec(bits) + " bits (range: " + dec(min) + " to " +
                     dec(max) + ")");
    }
    return ok(v < 0 ? v + pow2(bits) : v);
}

Ref ref_ones(i128 v, std::uint32_t bits) {
    if (bits > 64) {
        return error("bits must be <= 64 for ones' complement encoding");
    }
    const i128 max = bits == 0 ? 0 : pow2(bits - 1) - 1;
    if (v > max) {
        return error("Value " + dec(v) + " is too large for " + dec(bits) + " bits");
    }
    if (-v > max) {
        return error("Value " + dec(v) + " is too large (magnitude) for " + dec(bits) + " bits");
    }
    return ok(v < 0 ? pow2(bits) - 1 + v : v);
}

Ref ref_sign_magnitude(i128 v, std::uint32_t bits) {
    if (bits < 2 || bits > 64) {
        return error("bits must be between 2 and 64 for sign-magnitude encoding");
    }
    const i128 m = v < 0 ? -v : v;
    if (m >= pow2(bits - 1)) {
        return error("Magnitude of " + dec(v) + " is too large for " + dec(bits) + " bits");
    }
    return ok(v < 0 ? m + pow2(bits - 1) : m);
}

// Decoders, for patterns that have no bit set at or above `bits`.
i128 ref_decode_twos(i128 p, std::uint32_t bits) {
    if (bits >= 64) {
        return p >= pow2(63) ? p - pow2(64) : p;
    }
    return bits > 0 && p >= pow2(bits - 1) ? p - pow2(bits) : p;
}

i128 ref_decode_ones(i128 p, std::uint32_t bits) {
    const std::uint32_t w = bits >= 64 ? 64 : bits;
    return w > 0 && p >= pow2(w - 1) ? p - (pow2(w) - 1) : p;
}

i128 ref_decode_sign_magnitude(u128 p, std::uint32_t bits) {
    if (bits <= 1) {
        return 0;
    }
    const std::uint32_t s = bits > 64 ? 63 : bits - 1;  // bits above the sign bit are ignored
    const i128 m = static_cast<i128>(p % static_cast<u128>(pow2(s)));
    return (p >> s) & 1 ? -m : m;
}

// The byte form: (bits + 7) / 8 bytes whose bit t, counted from the least
// significant bit of the last byte, is bit t of the (mirrored) pattern.
std::vector<std::uint8_t> ref_bytes(u128 pattern, std::uint32_t bits, bool reverse_bits) {
    if (reverse_bits) {
        u128 mirrored = 0;
        for (std::uint32_t i = 0; i < bits; ++i) {
            if ((pattern >> i) & 1) {
                mirrored |= static_cast<u128>(1) << (bits - 1 - i);
            }
        }
        pattern = mirrored;
    }
    const std::uint32_t n = (bits + 7) / 8;
    std::vector<std::uint8_t> out(n, 0);
    for (std::uint32_t t = 0; t < 8 * n && t < 128; ++t) {
        if ((pattern >> t) & 1) {
            out[n - 1 - t / 8] |= static_cast<std::uint8_t>(1u << (t % 8));
        }
    }
    return out;
}

// The binary byte form: the last `bits` bits of the data (zeros in front
// when it is shorter), mirrored when asked, right-aligned in whole bytes.
std::vector<std::uint8_t> ref_binary(const std::vector<std::uint8_t>& data, std::uint32_t bits, bool reverse_bits) {
    const std::uint32_t n = (bits + 7) / 8;
    const auto data_bit = [&](std::int64_t j) {  // bit j of the data, MSB first
        return j >= 0 && ((data[static_cast<std::size_t>(j / 8)] >> (7 - j % 8)) & 1);
    };
    std::vector<std::uint8_t> out(n, 0);
    const std::int64_t start = static_cast<std::int64_t>(data.size()) * 8 - bits;
    for (std::uint32_t k = 0; k < bits; ++k) {
        const std::uint32_t from = reverse_bits ? bits - 1 - k : k;
        if (data_bit(start + from)) {
            const std::uint32_t at = 8 * n - bits + k;
            out[at / 8] |= static_cast<std::uint8_t>(0x80u >> (at % 8));
        }
    }
    return out;
}

Ref got(const Result<std::uint64_t>& r) { return r ? ok(*r) : error(r.error().message); }

std::vector<std::uint8_t> bytes_of(const FieldBytes& f) { return {f.data, f.data + f.size}; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    const std::int64_t value = fuzz::edgy_i64(in);
    const std::uint32_t bits = fuzz::edgy_bits(in);
    const std::uint64_t pattern = fuzz::edgy_u64(in);
    const bool reverse_bits = in.ConsumeBool();

    const struct {
        const char* name;
        Result<std::uint64_t> (*encode)(std::int64_t, std::uint32_t);
        Ref (*reference)(i128, std::uint32_t);
        std::int64_t (*decode)(std::uint64_t, std::uint32_t);
    } forms[] = {
        {"two's complement", encode_twos_complement, ref_twos, decode_twos_complement},
        {"ones' complement", encode_ones_complement, ref_ones, decode_ones_complement},
        {"sign-magnitude", encode_sign_magnitude, ref_sign_magnitude, decode_sign_magnitude},
    };
    for (const auto& form : forms) {
        const auto encoded = form.encode(value, bits);
        const Ref expected = form.reference(value, bits);
        FUZZ_CHECK(got(encoded) == expected, "%s(%lld, %u): got %s, expected %s", form.name,
                   static_cast<long long>(value), bits, got(encoded).c_str(), expected.c_str());
        if (encoded && bits > 0) {
            FUZZ_CHECK(form.decode(*encoded, bits) == value, "%s round trip of %lld in %u bits", form.name,
                       static_cast<long long>(value), bits);
        }
    }

    // Decoders on any pattern that fits the width.
    const u128 fitted = bits >= 64 ? pattern : pattern & ((std::uint64_t{1} << bits) - 1);
    const auto fitted64 = static_cast<std::uint64_t>(fitted);
    FUZZ_CHECK(decode_twos_complement(fitted64, bits) == ref_decode_twos(fitted, bits), "two's complement %llu in %u",
               static_cast<unsigned long long>(fitted64), bits);
    FUZZ_CHECK(decode_ones_complement(fitted64, bits) == ref_decode_ones(fitted, bits), "ones' complement %llu in %u",
               static_cast<unsigned long long>(fitted64), bits);
    // Sign-magnitude ignores any bit above the sign bit, so any pattern.
    FUZZ_CHECK(decode_sign_magnitude(pattern, bits) == ref_decode_sign_magnitude(pattern, bits),
               "sign-magnitude %llu in %u", static_cast<unsigned long long>(pattern), bits);

    // Raw pattern to bytes, 64- and 128-bit.
    const auto bytes64 = encode_integer_to_bytes(pattern, bits, reverse_bits);
    FUZZ_CHECK(bool(bytes64) == (bits <= 64), "width %u", bits);
    if (bytes64) {
        FUZZ_CHECK(bytes_of(*bytes64) == ref_bytes(pattern, bits, reverse_bits), "bytes of %llu in %u (reverse %d)",
                   static_cast<unsigned long long>(pattern), bits, reverse_bits);
    } else {
        FUZZ_CHECK(bytes64.error().message == "Cannot encode " + std::to_string(bits) + " bits from a 64-bit value",
                   "%s", bytes64.error().message.c_str());
    }
    const u128 wide = (static_cast<u128>(fuzz::edgy_u64(in)) << 64) | pattern;
    const auto bytes128 = encode_integer_to_bytes_u128(wide, bits, reverse_bits);
    FUZZ_CHECK(bool(bytes128) == (bits <= 128), "width %u", bits);
    if (bytes128) {
        FUZZ_CHECK(bytes_of(*bytes128) == ref_bytes(wide, bits, reverse_bits), "128-bit bytes in %u (reverse %d)",
                   bits, reverse_bits);
    } else {
        FUZZ_CHECK(bytes128.error().message == "Cannot encode " + std::to_string(bits) + " bits from a 128-bit value",
                   "%s", bytes128.error().message.c_str());
    }

    // Byte strings: widths kept small enough to allocate.
    const std::uint32_t binary_bits = bits % 1024;
    const std::vector<std::uint8_t> blob = in.ConsumeRemainingBytes<std::uint8_t>();
    const auto binary = encode_binary_to_bytes(blob, binary_bits, reverse_bits);
    FUZZ_CHECK(binary == ref_binary(blob, binary_bits, reverse_bits), "binary of %zu bytes in %u (reverse %d)",
               blob.size(), binary_bits, reverse_bits);
    return 0;
}
