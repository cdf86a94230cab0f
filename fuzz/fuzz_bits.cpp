// Placing fields into a packet and reading them out again, against
// references that move one bit at a time. Packet bit p is bit 7 - p % 8 of
// byte p / 8. Buffers are exactly as large as their contents, so that
// AddressSanitizer sees any access outside them.
#include <memory>
#include <vector>

#include "decoder/field_bits.hpp"
#include "encoder/place_field.hpp"
#include "fuzz_check.hpp"

using namespace kestrune;

namespace {

bool bit_of(const std::uint8_t* bytes, std::uint64_t p) { return (bytes[p / 8] >> (7 - p % 8)) & 1; }

void set_bit(std::uint8_t* bytes, std::uint64_t p, bool on) {
    const auto mask = static_cast<std::uint8_t>(0x80u >> (p % 8));
    bytes[p / 8] = static_cast<std::uint8_t>(on ? bytes[p / 8] | mask : bytes[p / 8] & ~mask);
}

// The field's last `bits` bits (zeros after a source that is shorter) go to
// packet bits off, off + 1, ...; those past the packet are dropped.
void ref_place(std::vector<std::uint8_t>& packet, std::uint64_t off, const std::vector<std::uint8_t>& src,
               std::uint32_t bits) {
    const std::uint64_t s = 8 * src.size();
    const std::uint64_t skip = s >= bits ? s - bits : 0;
    for (std::uint64_t k = 0; k < bits; ++k) {
        const std::uint64_t j = skip + k;
        const unsigned __int128 p = static_cast<unsigned __int128>(off) + k;  // never wraps
        if (p / 8 < packet.size()) {
            set_bit(packet.data(), static_cast<std::uint64_t>(p), j < s && bit_of(src.data(), j));
        }
    }
}

// Packet bits pos .. pos + bits - 1 as a number, the first most significant.
std::uint64_t ref_read(const std::uint8_t* packet, std::uint64_t pos, std::uint32_t bits) {
    std::uint64_t v = 0;
    for (std::uint32_t k = 0; k < bits; ++k) {
        v = v << 1 | (bit_of(packet, pos + k) ? 1 : 0);
    }
    return v;
}

std::uint64_t ref_raw_pattern(const std::uint8_t* packet, std::uint64_t pos, std::uint32_t bits, ByteOrder order,
                              bool reverse_bits) {
    std::uint64_t v = ref_read(packet, pos, bits);
    if (order == ByteOrder::Little) {  // whole bytes only: reverse their order
        std::uint64_t r = 0;
        for (std::uint32_t b = 0; b < bits / 8; ++b) {
            r = r << 8 | ((v >> (8 * b)) & 0xFF);
        }
        v = r;
    }
    if (reverse_bits) {
        std::uint64_t r = 0;
        for (std::uint32_t k = 0; k < bits; ++k) {
            r = r << 1 | ((v >> k) & 1);
        }
        v = r;
    }
    return v;
}

template <class T>
std::unique_ptr<T[]> exact_copy(const std::vector<T>& v) {
    std::unique_ptr<T[]> copy(new T[v.size()]);
    std::copy(v.begin(), v.end(), copy.get());
    return copy;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    const auto packet_size = in.ConsumeIntegralInRange<std::size_t>(0, 40);
    const std::vector<std::uint8_t> packet = in.ConsumeBytes<std::uint8_t>(packet_size);
    const auto src_size = in.ConsumeIntegralInRange<std::size_t>(0, 24);
    const std::vector<std::uint8_t> src = in.ConsumeBytes<std::uint8_t>(src_size);
    const std::uint64_t limit = 8 * packet.size() + 80;
    const std::uint64_t off =
        in.ConsumeBool() ? in.ConsumeIntegralInRange<std::uint64_t>(0, limit) : fuzz::edgy_u64(in);
    const auto bits = in.ConsumeBool() ? in.ConsumeIntegralInRange<std::uint32_t>(0, 8 * 24 + 16)
                                       : in.ConsumeIntegral<std::uint32_t>();

    // Placement: compared on a packet that starts with arbitrary contents,
    // since writes replace bits and must leave every other bit alone.
    if (bits <= 1u << 16) {  // the reference walks every bit
        std::vector<std::uint8_t> expected = packet;
        ref_place(expected, off, src, bits);
        auto placed = exact_copy(packet);
        auto source = exact_copy(src);
        builder::place_field(placed.get(), packet.size(), off, source.get(), src.size(), bits);
        FUZZ_CHECK(std::equal(expected.begin(), expected.end(), placed.get()),
                   "place %u bits of %zu bytes at %llu in %zu bytes", bits, src.size(),
                   static_cast<unsigned long long>(off), packet.size());
    }

    // Reading: any field of 1 to 64 bits inside the packet.
    if (packet.empty()) {
        return 0;
    }
    auto bytes = exact_copy(packet);
    const std::uint64_t total = 8 * packet.size();
    const std::uint32_t width = 1 + bits % 64;
    if (width > total) {
        return 0;
    }
    const std::uint64_t pos = off % (total - width + 1);
    FUZZ_CHECK(read_field(bytes.get(), packet.size(), pos, width) == ref_read(bytes.get(), pos, width),
               "read %u bits at %llu of %zu bytes", width, static_cast<unsigned long long>(pos), packet.size());
    const bool reverse_bits = in.ConsumeBool();
    const std::string_view view(reinterpret_cast<const char*>(bytes.get()), packet.size());
    FUZZ_CHECK(raw_pattern(view, pos, width, ByteOrder::Big, reverse_bits) ==
                   ref_raw_pattern(bytes.get(), pos, width, ByteOrder::Big, reverse_bits),
               "big-endian pattern of %u bits at %llu", width, static_cast<unsigned long long>(pos));
    if (width % 8 == 0) {
        FUZZ_CHECK(raw_pattern(view, pos, width, ByteOrder::Little, reverse_bits) ==
                       ref_raw_pattern(bytes.get(), pos, width, ByteOrder::Little, reverse_bits),
                   "little-endian pattern of %u bits at %llu", width, static_cast<unsigned long long>(pos));
    }

    // A window of any width inside the packet: ceil(width / 8) bytes whose
    // last `width` bits are the field's.
    const std::uint64_t window_bits = 1 + bits % total;
    const std::uint64_t at = off % (total - window_bits + 1);
    const std::size_t n = static_cast<std::size_t>((window_bits + 7) / 8);
    std::unique_ptr<unsigned char[]> window(new unsigned char[n]);
    cut_window(bytes.get(), at, window_bits, window.get(), n);
    std::vector<std::uint8_t> expected(n, 0);
    for (std::uint64_t k = 0; k < window_bits; ++k) {
        set_bit(expected.data(), 8 * n - window_bits + k, bit_of(bytes.get(), at + k));
    }
    FUZZ_CHECK(std::equal(expected.begin(), expected.end(), window.get()), "window of %llu bits at %llu",
               static_cast<unsigned long long>(window_bits), static_cast<unsigned long long>(at));
    return 0;
}
