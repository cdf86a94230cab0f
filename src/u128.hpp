// An unsigned 128-bit integer. GCC and Clang have one built in; elsewhere (and
// in any build that defines KESTRUNE_PORTABLE, which is how the fallback gets
// built and tested) it is a pair of 64-bit halves with the operations that
// the codecs use: shifts, bitwise and/or, and truncation to a narrower type.
#pragma once

#include <concepts>
#include <cstdint>

namespace kestrune {

namespace portable {

// The fallback, defined everywhere so that it can be checked against the
// built-in type where there is one.
class u128 {
public:
    constexpr u128() = default;
    // Implicit, like the widening of a built-in integer.
    constexpr u128(std::uint64_t low) : low_(low) {}
    constexpr u128(std::uint64_t high, std::uint64_t low) : high_(high), low_(low) {}

    constexpr explicit operator bool() const { return (high_ | low_) != 0; }
    // Truncation, like a cast of a built-in integer.
    template <std::integral T>
    constexpr explicit operator T() const {
        return static_cast<T>(low_);
    }

    constexpr std::uint64_t high() const { return high_; }
    constexpr std::uint64_t low() const { return low_; }

    // Shift counts are 0 to 127, as for the built-in type.
    friend constexpr u128 operator<<(u128 v, std::uint32_t n) {
        if (n == 0) {
            return v;
        }
        if (n >= 64) {
            return {v.low_ << (n - 64), 0};
        }
        return {v.high_ << n | v.low_ >> (64 - n), v.low_ << n};
    }
    friend constexpr u128 operator>>(u128 v, std::uint32_t n) {
        if (n == 0) {
            return v;
        }
        if (n >= 64) {
            return {0, v.high_ >> (n - 64)};
        }
        return {v.high_ >> n, v.low_ >> n | v.high_ << (64 - n)};
    }
    friend constexpr u128 operator|(u128 a, u128 b) { return {a.high_ | b.high_, a.low_ | b.low_}; }
    friend constexpr u128 operator&(u128 a, u128 b) { return {a.high_ & b.high_, a.low_ & b.low_}; }
    friend constexpr bool operator==(u128 a, u128 b) = default;

private:
    std::uint64_t high_ = 0;
    std::uint64_t low_ = 0;
};

}  // namespace portable

#if defined(__SIZEOF_INT128__) && !defined(KESTRUNE_PORTABLE)

using u128 = unsigned __int128;

constexpr u128 make_u128(std::uint64_t high, std::uint64_t low) { return static_cast<u128>(high) << 64 | low; }
constexpr std::uint64_t high_half(u128 v) { return static_cast<std::uint64_t>(v >> 64); }
constexpr std::uint64_t low_half(u128 v) { return static_cast<std::uint64_t>(v); }

#else

using u128 = portable::u128;

constexpr u128 make_u128(std::uint64_t high, std::uint64_t low) { return {high, low}; }
constexpr std::uint64_t high_half(u128 v) { return v.high(); }
constexpr std::uint64_t low_half(u128 v) { return v.low(); }

#endif

}  // namespace kestrune
