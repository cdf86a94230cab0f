// Compiled column plans: the fields of one packet layout, each with its
// decoder, its column storage type and its position rule, applied to many
// packets. Pure C++: no Python objects, so the loops run without the GIL.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "decoder/field_bits.hpp"
#include "decoder/text.hpp"
#include "encoder/float.hpp"
#include "error.hpp"

namespace kestrune::ccsds {

enum class Kind : std::uint8_t {
    Unsigned,
    TwosComplement,
    OnesComplement,
    SignMagnitude,
    Bcd,
    BcdSigned,
    PackedBcd,
    PackedBcdSigned,
    F16,
    F32,
    F64,
    F128,
    FloatStub,
    Text,
    Binary,
};

// How a decoded cell is stored in its column.
enum class Store : std::uint8_t { U8, U16, U32, U64, I8, I16, I32, I64, F32, F64, Object };

struct FieldPlan {
    std::string name;  // UTF-8, for messages
    Kind kind = Kind::Unsigned;
    FloatStub stub = FloatStub::ieee754_f128;
    TextDecoder text = TextDecoder::Utf8;
    Store store = Store::U64;
    std::uint64_t bits = 0;  // fixed width (unused when size_from >= 0)
    bool has_offset = false;
    std::uint64_t offset = 0;  // from the packet's first bit
    ByteOrder order = ByteOrder::Big;
    bool reverse_bits = false;
    std::string byte_order_text;  // as written, for messages
    // Dynamic width: value(fields[size_from]) * slope + intercept.
    int size_from = -1;
    std::int64_t slope = 1;
    std::int64_t intercept = 0;
};

struct Plan {
    std::vector<FieldPlan> fields;
    bool dynamic = false;
    // Fixed layouts: each field's position (valid when positions_ok, i.e. no
    // position overflows) and the packet size in bits from which no field
    // runs past the end.
    std::vector<std::uint64_t> positions;
    bool positions_ok = false;
    std::uint64_t end_bits = 0;
};

// Fills the derived parts of a plan whose fields are set.
void finish_plan(Plan& plan);

// A field placed in one packet.
struct Placed {
    std::uint64_t pos = 0;
    std::uint64_t bits = 0;
};

// The state of one packet's walk over the fields.
struct PacketState {
    std::uint64_t cursor = 0;
    bool cursor_known = true;
    std::uint64_t end_bits = 0;            // the furthest field end seen
    std::vector<std::int64_t> values;      // integer value of each field (size references)
    std::vector<std::uint8_t> have_value;  // whether values[i] is usable

    explicit PacketState(std::size_t n) : values(n), have_value(n) {}
    void reset() {
        cursor = 0;
        cursor_known = true;
        end_bits = 0;
    }
};

// Places field i in a packet of `size` bytes and advances the cursor (also
// when the field does not fit, so that later fields are placed as
// unpack_parameters would place them).
Result<Placed> place(const Plan& plan, std::size_t i, std::size_t size, PacketState& state);

// The payload of a numeric cell: the integer (two's complement for signed
// stores) or the bit pattern of the float (low 32 bits) or double.
Result<std::uint64_t> numeric_cell(const FieldPlan& field, const unsigned char* data, std::size_t size,
                                   std::uint64_t pos, std::uint64_t bits);

// The bytes of a text or binary field (viewed in place when the field is
// whole bytes at a byte boundary in big-endian order, else cut into
// `scratch`), its text checked by the codec.
Result<std::string_view> object_window(const FieldPlan& field, const unsigned char* data, std::uint64_t pos,
                                       std::uint64_t bits, std::string& scratch);

// The integer value of a payload for use as a size, when the store is an
// integer one.
bool payload_as_size(Store store, std::uint64_t payload, std::int64_t& out);

}  // namespace kestrune::ccsds
