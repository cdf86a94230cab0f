#include "plan.hpp"

#include <algorithm>
#include <bit>
#include <cstring>

#include "decoder/bcd.hpp"
#include "decoder/float.hpp"
#include "decoder/integer.hpp"

namespace kestrune::ccsds {
namespace {

std::string quoted(std::string_view s) {
    std::string out;
    out.reserve(s.size() + 2);
    out.push_back('\'');
    out.append(s);
    out.push_back('\'');
    return out;
}

std::unexpected<Error> field_error(const FieldPlan& field, const std::string& what) {
    return value_error("Field " + quoted(field.name) + " " + what);
}

std::uint64_t end_in_bytes(std::uint64_t end_bits) { return (end_bits >> 3) + ((end_bits & 7) != 0 ? 1 : 0); }

}  // namespace

void finish_plan(Plan& plan) {
    plan.dynamic = std::any_of(plan.fields.begin(), plan.fields.end(),
                               [](const FieldPlan& f) { return f.size_from >= 0; });
    plan.positions.assign(plan.fields.size(), 0);
    plan.positions_ok = !plan.dynamic;
    plan.end_bits = 0;
    if (plan.dynamic) {
        return;
    }
    std::uint64_t cursor = 0;
    for (std::size_t i = 0; i < plan.fields.size(); ++i) {
        const FieldPlan& f = plan.fields[i];
        const std::uint64_t pos = f.has_offset ? f.offset : cursor;
        if (f.bits > UINT64_MAX - pos) {
            plan.positions_ok = false;
            return;
        }
        plan.positions[i] = pos;
        cursor = pos + f.bits;
        plan.end_bits = std::max(plan.end_bits, cursor);
    }
}

Result<Placed> place(const Plan& plan, std::size_t i, std::size_t size, PacketState& state) {
    const FieldPlan& f = plan.fields[i];
    std::uint64_t bits = f.bits;
    if (f.size_from >= 0) {
        const auto ref = static_cast<std::size_t>(f.size_from);
        const std::string& ref_name = plan.fields[ref].name;
        if (!state.have_value[ref]) {
            state.cursor_known = false;
            return field_error(f, "has no size in this packet: its size field " + quoted(ref_name) +
                                      " has no usable value");
        }
        const std::int64_t v = state.values[ref];
        std::int64_t product = 0;
        std::int64_t sized = 0;
        const bool overflow =
            __builtin_mul_overflow(v, f.slope, &product) || __builtin_add_overflow(product, f.intercept, &sized);
        if (overflow || sized < 0) {
            state.cursor_known = false;
            return field_error(f, "has an invalid size in this packet: " + quoted(ref_name) + " = " +
                                      std::to_string(v) + " gives " +
                                      (overflow ? std::string("more than 2**63 - 1") : std::to_string(sized)) +
                                      " bits");
        }
        bits = static_cast<std::uint64_t>(sized);
    }
    std::uint64_t pos;
    if (f.has_offset) {
        if (bits > UINT64_MAX - f.offset) {
            state.cursor_known = false;
            return field_error(f, "position overflows: start offset 0 + offset_bits " + std::to_string(f.offset) +
                                      " + bits " + std::to_string(bits) + " exceeds 2**64 - 1");
        }
        pos = f.offset;
    } else {
        if (!state.cursor_known) {
            return field_error(f, "has no position in this packet: an earlier field's size is unknown");
        }
        if (bits > UINT64_MAX - state.cursor) {
            state.cursor_known = false;
            return field_error(f, "position overflows: bit position " + std::to_string(state.cursor) + " + bits " +
                                      std::to_string(bits) + " exceeds 2**64 - 1");
        }
        pos = state.cursor;
    }
    const std::uint64_t end = pos + bits;
    state.cursor = end;
    state.cursor_known = true;
    state.end_bits = std::max(state.end_bits, end);
    if (end_in_bytes(end) > size) {
        return field_error(f, "runs past the end of the packet: it ends at bit " + std::to_string(end) +
                                  " but the packet has " + std::to_string(size) + " bytes");
    }
    return Placed{pos, bits};
}

namespace {

std::unexpected<Error> little_endian_width(const FieldPlan& f, std::uint64_t bits) {
    return value_error("Invalid byte_order " + quoted(f.byte_order_text) +
                       ": little-endian fields must be a whole number of bytes (got " + std::to_string(bits) +
                       " bits)");
}

std::unexpected<Error> exact_width(unsigned n, std::uint64_t bits) {
    return value_error("IEEE 754 f" + std::to_string(n) + " requires a " + std::to_string(n) + "-bit field (got " +
                       std::to_string(bits) + " bits)");
}

std::uint64_t single_payload(double value) {
    return std::bit_cast<std::uint32_t>(static_cast<float>(value));
}

}  // namespace

Result<std::uint64_t> numeric_cell(const FieldPlan& f, const unsigned char* data, std::size_t size,
                                   std::uint64_t pos, std::uint64_t bits) {
    if (f.order == ByteOrder::Little && (bits & 7) != 0) {
        return little_endian_width(f, bits);
    }
    const std::string_view packet(reinterpret_cast<const char*>(data), size);
    auto pattern = [&] { return raw_pattern(packet, pos, static_cast<std::uint32_t>(bits), f.order, f.reverse_bits); };
    switch (f.kind) {
        case Kind::F16:
            if (bits != 16) {
                return exact_width(16, bits);
            }
            return single_payload(decode_ieee754_f16(pattern()));
        case Kind::F32:
            if (bits != 32) {
                return exact_width(32, bits);
            }
            return single_payload(decode_ieee754_f32(pattern()));
        case Kind::F64:
            if (bits != 64) {
                return exact_width(64, bits);
            }
            return std::bit_cast<std::uint64_t>(decode_ieee754_f64(pattern()));
        case Kind::F128:
            if (bits > 64) {
                return value_error(
                    "IEEE 754 f128 requires special handling for >64 bits (not yet implemented in process_recipe)");
            }
            return value_error("IEEE 754 f128 requires a 128-bit field (got " + std::to_string(bits) + " bits)");
        case Kind::FloatStub:
            return std::unexpected(float_decode_stub_error(f.stub));
        case Kind::Text:
        case Kind::Binary:
            return value_error("internal: numeric decoder called for a text or binary field");
        default:
            break;
    }
    if (bits > 64) {
        return value_error("Cannot decode " + std::to_string(bits) + " bits into a 64-bit value");
    }
    const auto width = static_cast<std::uint32_t>(bits);
    const std::uint64_t p = pattern();
    auto as_payload = [](const Result<std::int64_t>& r) -> Result<std::uint64_t> {
        if (!r) {
            return std::unexpected(r.error());
        }
        return static_cast<std::uint64_t>(*r);
    };
    switch (f.kind) {
        case Kind::Unsigned: return p;
        case Kind::TwosComplement: return static_cast<std::uint64_t>(decode_twos_complement(p, width));
        case Kind::OnesComplement: return static_cast<std::uint64_t>(decode_ones_complement(p, width));
        case Kind::SignMagnitude: return static_cast<std::uint64_t>(decode_sign_magnitude(p, width));
        case Kind::Bcd: return as_payload(decode_unpacked_bcd(p, width, false));
        case Kind::BcdSigned: return as_payload(decode_unpacked_bcd(p, width, true));
        case Kind::PackedBcd: return as_payload(decode_packed_bcd(p, width, false));
        case Kind::PackedBcdSigned: return as_payload(decode_packed_bcd(p, width, true));
        default: break;
    }
    return value_error("internal: unknown numeric decoder");
}

Result<std::string_view> object_window(const FieldPlan& f, const unsigned char* data, std::uint64_t pos,
                                       std::uint64_t bits, std::string& scratch) {
    if (f.order == ByteOrder::Little && (bits & 7) != 0) {
        return little_endian_width(f, bits);
    }
    const std::uint64_t n = (bits >> 3) + ((bits & 7) != 0 ? 1 : 0);
    std::string_view window;
    if (f.order == ByteOrder::Big && (pos & 7) == 0 && (bits & 7) == 0) {
        window = std::string_view(reinterpret_cast<const char*>(data) + (pos >> 3), static_cast<std::size_t>(n));
    } else {
        scratch.resize(static_cast<std::size_t>(n));
        auto* out = reinterpret_cast<unsigned char*>(scratch.data());
        if (n > 0) {
            cut_window(data, pos, bits, out, static_cast<std::size_t>(n));
            if (f.order == ByteOrder::Little) {
                std::reverse(out, out + n);
            }
        }
        window = scratch;
    }
    if (f.kind == Kind::Text) {
        const auto measured = measure_text(f.text, window);
        if (!measured) {
            return std::unexpected(measured.error());
        }
    }
    return window;
}

bool payload_as_size(Store store, std::uint64_t payload, std::int64_t& out) {
    switch (store) {
        case Store::U8:
        case Store::U16:
        case Store::U32:
        case Store::U64:
            if (payload > static_cast<std::uint64_t>(INT64_MAX)) {
                return false;
            }
            out = static_cast<std::int64_t>(payload);
            return true;
        case Store::I8:
        case Store::I16:
        case Store::I32:
        case Store::I64:
            out = static_cast<std::int64_t>(payload);
            return true;
        default:
            return false;
    }
}

}  // namespace kestrune::ccsds
