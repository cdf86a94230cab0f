// The extension kestrune_ccsds._native: the packet scanner and the column
// decoder over compiled plans. The Python package builds the plans, owns the
// NumPy arrays and turns the results into streams and tables; this module
// only fills buffers it is handed, with the GIL released for the loops.
#include <Python.h>

#include <algorithm>
#include <bit>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "decoder/float.hpp"
#include "plan.hpp"
#include "pyref.hpp"
#include "scan.hpp"

namespace kestrune::ccsds {
namespace {

constexpr const char* kPlanCapsule = "kestrune_ccsds.plan";

// A plan, the Python names of its fields (the keys of row dicts) and the
// dict that each row starts from: every key in field order, bound to None.
struct NativePlan {
    Plan plan;
    std::vector<PyRef> names;
    std::vector<PyObject*> name_objects;  // borrowed from `names`
    PyRef row_template;
};

void destroy_plan(PyObject* capsule) {
    delete static_cast<NativePlan*>(PyCapsule_GetPointer(capsule, kPlanCapsule));
}

NativePlan* get_plan(PyObject* obj) {
    return static_cast<NativePlan*>(PyCapsule_GetPointer(obj, kPlanCapsule));
}

// A buffer view released when it goes out of scope.
class Buffer {
public:
    Buffer() = default;
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    ~Buffer() {
        if (held_) {
            PyBuffer_Release(&view_);
        }
    }
    bool get(PyObject* obj, bool writable, const char* what) {
        if (PyObject_GetBuffer(obj, &view_, writable ? PyBUF_WRITABLE : PyBUF_SIMPLE) < 0) {
            return false;
        }
        held_ = true;
        if (!PyBuffer_IsContiguous(&view_, 'C')) {
            PyErr_Format(PyExc_ValueError, "%s must be a contiguous buffer", what);
            return false;
        }
        return true;
    }
    const unsigned char* data() const { return static_cast<const unsigned char*>(view_.buf); }
    unsigned char* mutable_data() const { return static_cast<unsigned char*>(view_.buf); }
    std::size_t size() const { return static_cast<std::size_t>(view_.len); }

private:
    Py_buffer view_{};
    bool held_ = false;
};

std::size_t store_size(Store s) {
    switch (s) {
        case Store::U8:
        case Store::I8: return 1;
        case Store::U16:
        case Store::I16: return 2;
        case Store::U32:
        case Store::I32:
        case Store::F32: return 4;
        default: return 8;
    }
}

// Writes a payload into element r of a column of store `s`.
inline void put(Store s, unsigned char* column, std::size_t r, std::uint64_t payload) {
    switch (s) {
        case Store::U8:
        case Store::I8: column[r] = static_cast<unsigned char>(payload); break;
        case Store::U16:
        case Store::I16: {
            const auto v = static_cast<std::uint16_t>(payload);
            std::memcpy(column + 2 * r, &v, 2);
            break;
        }
        case Store::U32:
        case Store::I32:
        case Store::F32: {
            const auto v = static_cast<std::uint32_t>(payload);
            std::memcpy(column + 4 * r, &v, 4);
            break;
        }
        default: std::memcpy(column + 8 * r, &payload, 8); break;
    }
}

// What a masked cell holds: NaN in float columns, zero elsewhere.
std::uint64_t null_payload(Store s) {
    if (s == Store::F32) {
        return std::bit_cast<std::uint32_t>(__builtin_nanf(""));
    }
    if (s == Store::F64) {
        return std::bit_cast<std::uint64_t>(__builtin_nan(""));
    }
    return 0;
}

PyObject* payload_object(Store s, std::uint64_t payload) {
    switch (s) {
        case Store::U8:
        case Store::U16:
        case Store::U32:
        case Store::U64: return PyLong_FromUnsignedLongLong(payload);
        case Store::F32:
            return PyFloat_FromDouble(static_cast<double>(std::bit_cast<float>(static_cast<std::uint32_t>(payload))));
        case Store::F64: return PyFloat_FromDouble(std::bit_cast<double>(payload));
        default: return PyLong_FromLongLong(static_cast<long long>(payload));
    }
}

// The element slots of a one-dimensional, contiguous NumPy object array of
// n elements, found through its array interface. Each slot holds a strong
// reference (None in a new array); the caller replaces them in place.
bool object_slots(PyObject* array, std::size_t n, PyObject**& slots) {
    PyRef iface(PyObject_GetAttrString(array, "__array_interface__"));
    if (!iface) {
        return false;
    }
    PyObject* typestr = PyDict_Check(iface.get()) ? PyDict_GetItemString(iface.get(), "typestr") : nullptr;
    PyObject* shape = PyDict_Check(iface.get()) ? PyDict_GetItemString(iface.get(), "shape") : nullptr;
    PyObject* strides = PyDict_Check(iface.get()) ? PyDict_GetItemString(iface.get(), "strides") : nullptr;
    PyObject* data = PyDict_Check(iface.get()) ? PyDict_GetItemString(iface.get(), "data") : nullptr;
    const bool is_object = typestr != nullptr && PyUnicode_Check(typestr) &&
                           PyUnicode_CompareWithASCIIString(typestr, "|O") == 0;
    const bool one_dim = shape != nullptr && PyTuple_Check(shape) && PyTuple_GET_SIZE(shape) == 1 &&
                         PyLong_AsSsize_t(PyTuple_GET_ITEM(shape, 0)) == static_cast<Py_ssize_t>(n);
    const bool contiguous = strides == nullptr || strides == Py_None ||
                            (PyTuple_Check(strides) && PyTuple_GET_SIZE(strides) == 1 &&
                             PyLong_AsSsize_t(PyTuple_GET_ITEM(strides, 0)) == sizeof(PyObject*));
    const bool writable = data != nullptr && PyTuple_Check(data) && PyTuple_GET_SIZE(data) == 2 &&
                          PyTuple_GET_ITEM(data, 1) == Py_False;
    if (PyErr_Occurred()) {
        return false;
    }
    if (!is_object || !one_dim || !contiguous || !writable) {
        PyErr_SetString(PyExc_ValueError, "a text or binary column must be a writable 1-d object array of the rows");
        return false;
    }
    slots = static_cast<PyObject**>(PyLong_AsVoidPtr(PyTuple_GET_ITEM(data, 0)));
    return slots != nullptr || (n == 0 && !PyErr_Occurred());
}

// Whether every byte is below 0x80, eight at a time.
inline bool is_ascii(std::string_view bytes) {
    const char* p = bytes.data();
    std::size_t n = bytes.size();
    std::uint64_t any = 0;
    for (; n >= 8; n -= 8, p += 8) {
        std::uint64_t w;
        std::memcpy(&w, p, 8);
        any |= w;
    }
    for (; n > 0; --n, ++p) {
        any |= static_cast<unsigned char>(*p);
    }
    return (any & 0x8080808080808080ULL) == 0;
}

// The value of a text or binary cell: a new reference, or nullptr with
// `failure` set when the codec refuses the window (or with a Python error
// set when the object cannot be created). The text is measured once.
PyObject* object_value(const FieldPlan& f, const unsigned char* data, std::uint64_t pos, std::uint64_t bits,
                       std::string& scratch, Error& failure) {
    if (f.kind == Kind::Binary) {
        auto w = object_window(f, data, pos, bits, scratch);
        if (!w) {
            failure = std::move(w.error());
            return nullptr;
        }
        return PyBytes_FromStringAndSize(w->data(), static_cast<Py_ssize_t>(w->size()));
    }
    // The window unchecked by object_window: measuring it checks it.
    auto w = object_window(f, data, pos, bits, scratch, false);
    if (!w) {
        failure = std::move(w.error());
        return nullptr;
    }
    // ASCII bytes are the same characters in UTF-8, US-ASCII, ISO-8859-1
    // and Windows-1252 (whose byte-order marks are not ASCII): copied as
    // they are, without the codec's general pass.
    const bool ascii_superset = f.text == TextDecoder::Utf8 || f.text == TextDecoder::UsAscii ||
                                f.text == TextDecoder::Iso8859_1 || f.text == TextDecoder::Windows1252;
    if (ascii_superset && is_ascii(*w)) {
        PyObject* ascii = PyUnicode_New(static_cast<Py_ssize_t>(w->size()), 127);
        if (ascii != nullptr && !w->empty()) {
            std::memcpy(PyUnicode_DATA(ascii), w->data(), w->size());
        }
        return ascii;
    }
    const auto text = measure_text(f.text, *w);
    if (!text) {
        failure = text.error();
        return nullptr;
    }
    PyObject* s = PyUnicode_New(static_cast<Py_ssize_t>(text->length), static_cast<Py_UCS4>(text->max_char));
    if (s == nullptr) {
        return nullptr;
    }
    switch (PyUnicode_KIND(s)) {
        case PyUnicode_1BYTE_KIND: fill_text(*text, static_cast<std::uint8_t*>(PyUnicode_DATA(s))); break;
        case PyUnicode_2BYTE_KIND: fill_text(*text, static_cast<std::uint16_t*>(PyUnicode_DATA(s))); break;
        default: fill_text(*text, static_cast<std::uint32_t*>(PyUnicode_DATA(s))); break;
    }
    return s;
}

// ---------------------------------------------------------------------------
// compile(fields) -> plan

bool read_field(PyObject* item, FieldPlan& f, PyRef& name) {
    PyObject* name_obj = nullptr;
    int kind = 0, stub = 0, text = 0, store = 0, little = 0, reverse = 0, size_from = -1;
    unsigned long long bits = 0;
    PyObject* offset = nullptr;
    const char* order_text = nullptr;
    long long slope = 1, intercept = 0;
    if (!PyArg_ParseTuple(item, "UiiiiKOppsiLL", &name_obj, &kind, &stub, &text, &store, &bits, &offset, &little,
                          &reverse, &order_text, &size_from, &slope, &intercept)) {
        return false;
    }
    if (kind < 0 || kind > static_cast<int>(Kind::Binary) || store < 0 || store > static_cast<int>(Store::Object) ||
        stub < 0 || stub > static_cast<int>(FloatStub::ti_f40) || text < 0 ||
        text > static_cast<int>(TextDecoder::Windows1252)) {
        PyErr_SetString(PyExc_ValueError, "invalid field code");
        return false;
    }
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(name_obj, &size);
    if (utf8 == nullptr) {
        return false;
    }
    f.name.assign(utf8, static_cast<std::size_t>(size));
    name = PyRef::borrow(name_obj);
    f.kind = static_cast<Kind>(kind);
    f.stub = static_cast<FloatStub>(stub);
    f.text = static_cast<TextDecoder>(text);
    f.store = static_cast<Store>(store);
    f.bits = bits;
    if (offset != Py_None) {
        f.has_offset = true;
        f.offset = PyLong_AsUnsignedLongLong(offset);
        if (PyErr_Occurred()) {
            return false;
        }
    }
    f.order = little ? ByteOrder::Little : ByteOrder::Big;
    f.reverse_bits = reverse != 0;
    f.byte_order_text = order_text;
    f.size_from = size_from;
    f.slope = slope;
    f.intercept = intercept;
    const bool object_kind = f.kind == Kind::Text || f.kind == Kind::Binary;
    if (object_kind != (f.store == Store::Object)) {
        PyErr_SetString(PyExc_ValueError, "field store does not match its kind");
        return false;
    }
    return true;
}

PyObject* compile_plan(PyObject*, PyObject* fields) {
    if (!PyList_Check(fields)) {
        PyErr_SetString(PyExc_TypeError, "fields must be a list");
        return nullptr;
    }
    auto native = std::make_unique<NativePlan>();
    const Py_ssize_t n = PyList_GET_SIZE(fields);
    for (Py_ssize_t i = 0; i < n; ++i) {
        FieldPlan f;
        PyRef name;
        if (!read_field(PyList_GET_ITEM(fields, i), f, name)) {
            return nullptr;
        }
        if (f.size_from >= i) {
            PyErr_SetString(PyExc_ValueError, "a size reference must name an earlier field");
            return nullptr;
        }
        native->plan.fields.push_back(std::move(f));
        native->names.push_back(std::move(name));
    }
    finish_plan(native->plan);
    native->row_template = PyRef(_PyDict_NewPresized(n));
    if (!native->row_template) {
        return nullptr;
    }
    for (const PyRef& name : native->names) {
        native->name_objects.push_back(name.get());
        if (PyDict_SetItem(native->row_template.get(), name.get(), Py_None) < 0) {
            return nullptr;
        }
    }
    PyObject* capsule = PyCapsule_New(native.get(), kPlanCapsule, destroy_plan);
    if (capsule != nullptr) {
        native.release();
    }
    return capsule;
}

// ---------------------------------------------------------------------------
// The packet walk shared by decode and rows.

struct CellError {
    std::size_t row;
    std::size_t field;
    Error error;
};

// The packets to decode: rows index the stream's offsets and lengths.
struct Packets {
    Buffer source, offsets, lengths, rows;
    std::size_t count = 0;

    bool get(PyObject* src, PyObject* off, PyObject* len, PyObject* idx) {
        if (!source.get(src, false, "buffer") || !offsets.get(off, false, "offsets") ||
            !lengths.get(len, false, "lengths") || !rows.get(idx, false, "rows")) {
            return false;
        }
        if (offsets.size() % 8 != 0 || lengths.size() % 4 != 0 || rows.size() % 8 != 0 ||
            offsets.size() / 8 != lengths.size() / 4) {
            PyErr_SetString(PyExc_ValueError, "offsets, lengths and rows must be uint64, uint32 and int64 arrays");
            return false;
        }
        count = rows.size() / 8;
        return true;
    }
    // The length of row r's packet (a row already checked by packet()).
    std::size_t size_of(std::size_t r) const {
        std::int64_t k;
        std::memcpy(&k, rows.data() + 8 * r, 8);
        std::uint32_t length;
        std::memcpy(&length, lengths.data() + 4 * k, 4);
        return length;
    }
    // The packet of row r, checked against the arrays and the buffer.
    bool packet(std::size_t r, const unsigned char*& data, std::size_t& size, std::uint64_t& offset) const {
        std::int64_t k;
        std::memcpy(&k, rows.data() + 8 * r, 8);
        if (k < 0 || static_cast<std::uint64_t>(k) >= offsets.size() / 8) {
            return false;
        }
        std::uint32_t length;
        std::memcpy(&offset, offsets.data() + 8 * k, 8);
        std::memcpy(&length, lengths.data() + 4 * k, 4);
        if (offset > source.size() || length > source.size() - offset) {
            return false;
        }
        data = source.data() + offset;
        size = length;
        return true;
    }
};

bool bad_packet_row(std::size_t r) {
    PyErr_Format(PyExc_ValueError, "row %zu does not index a packet inside the buffer", r);
    return false;
}

// The fast path of fixed layouts: each numeric field's byte, shift and a
// specialised operation for the common encodings (big-endian, no bit
// reversal); the rest go through the general cell decoder.
enum class FastOp : std::uint8_t { Unsigned, Twos, F32, F64, Generic };

struct FastField {
    std::size_t index;
    std::uint64_t pos;
    std::uint64_t first;  // byte holding the field's first bit
    unsigned lead;        // bits before the field in that byte
    std::uint32_t bits;
    bool ninth;  // the field reaches into a ninth byte
    FastOp op;
    Store store;
    unsigned char* column;
};

std::vector<FastField> fast_fields(const Plan& plan, const std::vector<unsigned char*>& columns) {
    std::vector<FastField> out;
    if (!plan.positions_ok) {
        return out;
    }
    for (std::size_t i = 0; i < plan.fields.size(); ++i) {
        const FieldPlan& f = plan.fields[i];
        if (f.store == Store::Object) {
            continue;
        }
        FastField ff{i, plan.positions[i], plan.positions[i] >> 3, static_cast<unsigned>(plan.positions[i] & 7),
                     static_cast<std::uint32_t>(std::min<std::uint64_t>(f.bits, 64)), false, FastOp::Generic,
                     f.store, columns[i]};
        ff.ninth = ff.lead + ff.bits > 64;
        const bool plain = f.order == ByteOrder::Big && !f.reverse_bits && f.bits >= 1 && f.bits <= 64;
        if (plain && f.kind == Kind::Unsigned) {
            ff.op = FastOp::Unsigned;
        } else if (plain && f.kind == Kind::TwosComplement) {
            ff.op = FastOp::Twos;
        } else if (plain && f.kind == Kind::F32 && f.bits == 32) {
            ff.op = FastOp::F32;
        } else if (plain && f.kind == Kind::F64 && f.bits == 64) {
            ff.op = FastOp::F64;
        }
        out.push_back(ff);
    }
    return out;
}

// The raw field bits of a fast field in the packet at p (the buffer ends at
// `end`; bytes past the packet are shifted out).
inline std::uint64_t fast_bits(const FastField& ff, const unsigned char* packet, const unsigned char* end) {
    const unsigned char* p = packet + ff.first;
    const auto avail = static_cast<std::size_t>(end - p);
    std::uint64_t w;
    if (avail >= 8) {
        std::memcpy(&w, p, 8);
        w = to_big_endian(w);
    } else {
        w = load_be(p, avail);
    }
    std::uint64_t v = w << ff.lead;
    if (ff.ninth) {
        v |= static_cast<std::uint64_t>(p[8]) >> (8 - ff.lead);
    }
    return v >> (64 - ff.bits);
}

// The payload of a fast field whose operation is not Generic.
inline std::uint64_t fast_payload(const FastField& ff, const unsigned char* packet, const unsigned char* end) {
    std::uint64_t v = fast_bits(ff, packet, end);
    switch (ff.op) {
        case FastOp::Twos:
            return static_cast<std::uint64_t>(static_cast<std::int64_t>(v << (64 - ff.bits)) >> (64 - ff.bits));
        case FastOp::F32:
            if ((v & 0x7F800000u) == 0x7F800000u && (v & 0x7FFFFFu) != 0) {
                v = std::bit_cast<std::uint32_t>(static_cast<float>(decode_ieee754_f32(v)));
            }
            return v;
        default:
            return v;
    }
}

// Every field of a plan for the row decoder, by field index: the fast
// fields as fast_fields() gives them, the others Generic (at their compiled
// position when the layout is fixed).
std::vector<FastField> row_fields(const Plan& plan) {
    std::vector<FastField> out(plan.fields.size());
    for (std::size_t i = 0; i < plan.fields.size(); ++i) {
        out[i] = FastField{i,     plan.positions_ok ? plan.positions[i] : 0, 0, 0, 0, false, FastOp::Generic,
                           plan.fields[i].store, nullptr};
    }
    for (const FastField& ff : fast_fields(plan, std::vector<unsigned char*>(plan.fields.size(), nullptr))) {
        out[ff.index] = ff;
    }
    return out;
}

// One fast field over a block of packets (null entries are packets that the
// general path decodes), written to rows [row0, row0 + n) of its column.
template <FastOp Op, class T>
void fast_column(const FastField& ff, const unsigned char* const* packets, std::size_t n, std::size_t row0,
                 const unsigned char* end) {
    T* column = reinterpret_cast<T*>(ff.column) + row0;
    for (std::size_t j = 0; j < n; ++j) {
        if (packets[j] == nullptr) {
            continue;
        }
        std::uint64_t v = fast_bits(ff, packets[j], end);
        if constexpr (Op == FastOp::Twos) {
            v = static_cast<std::uint64_t>(static_cast<std::int64_t>(v << (64 - ff.bits)) >> (64 - ff.bits));
        } else if constexpr (Op == FastOp::F32) {
            // NaN payloads go through the codec, which quiets them.
            if ((v & 0x7F800000u) == 0x7F800000u && (v & 0x7FFFFFu) != 0) [[unlikely]] {
                v = std::bit_cast<std::uint32_t>(static_cast<float>(decode_ieee754_f32(v)));
            }
        }
        const T stored = static_cast<T>(v);
        std::memcpy(column + j, &stored, sizeof(T));
    }
}

void fast_column(const FastField& ff, const unsigned char* const* packets, std::size_t n, std::size_t row0,
                 const unsigned char* end) {
    switch (ff.op) {
        case FastOp::Unsigned:
            switch (ff.store) {
                case Store::U8: return fast_column<FastOp::Unsigned, std::uint8_t>(ff, packets, n, row0, end);
                case Store::U16: return fast_column<FastOp::Unsigned, std::uint16_t>(ff, packets, n, row0, end);
                case Store::U32: return fast_column<FastOp::Unsigned, std::uint32_t>(ff, packets, n, row0, end);
                default: return fast_column<FastOp::Unsigned, std::uint64_t>(ff, packets, n, row0, end);
            }
        case FastOp::Twos:
            switch (ff.store) {
                case Store::I8: return fast_column<FastOp::Twos, std::uint8_t>(ff, packets, n, row0, end);
                case Store::I16: return fast_column<FastOp::Twos, std::uint16_t>(ff, packets, n, row0, end);
                case Store::I32: return fast_column<FastOp::Twos, std::uint32_t>(ff, packets, n, row0, end);
                default: return fast_column<FastOp::Twos, std::uint64_t>(ff, packets, n, row0, end);
            }
        case FastOp::F32: return fast_column<FastOp::F32, std::uint32_t>(ff, packets, n, row0, end);
        case FastOp::F64: return fast_column<FastOp::F64, std::uint64_t>(ff, packets, n, row0, end);
        case FastOp::Generic: break;
    }
}

// Object cells: the window's bit position in the buffer and its width; a
// width of UINT64_MAX marks a cell without a value.
struct ObjectCell {
    std::uint64_t pos;
    std::uint64_t bits;
};
constexpr std::uint64_t kNoCell = UINT64_MAX;

// ---------------------------------------------------------------------------
// decode(plan, buffer, offsets, lengths, rows, columns, stop_first)
//   -> (errors, longer, rows_done)
// columns: one per field, a writable buffer of the rows' machine values, or
// for text and binary fields a NumPy object array of the rows.
// errors: (row, field, kind, message), in row order then field order.

PyObject* decode(PyObject*, PyObject* args) {
    PyObject *plan_obj, *src, *off, *len, *idx, *columns;
    int stop_first = 0;
    if (!PyArg_ParseTuple(args, "OOOOOO!p", &plan_obj, &src, &off, &len, &idx, &PyList_Type, &columns,
                          &stop_first)) {
        return nullptr;
    }
    const NativePlan* native = get_plan(plan_obj);
    if (native == nullptr) {
        return nullptr;
    }
    const Plan& plan = native->plan;
    const std::size_t nf = plan.fields.size();
    Packets packets;
    if (!packets.get(src, off, len, idx)) {
        return nullptr;
    }
    const std::size_t nrows = packets.count;
    if (static_cast<std::size_t>(PyList_GET_SIZE(columns)) != nf) {
        PyErr_SetString(PyExc_ValueError, "one column per field is needed");
        return nullptr;
    }
    std::vector<std::unique_ptr<Buffer>> column_buffers(nf);
    std::vector<unsigned char*> column_data(nf, nullptr);
    std::vector<std::size_t> object_fields;
    std::vector<PyObject**> object_data(nf, nullptr);
    for (std::size_t i = 0; i < nf; ++i) {
        PyObject* c = PyList_GET_ITEM(columns, static_cast<Py_ssize_t>(i));
        if (plan.fields[i].store == Store::Object) {
            object_fields.push_back(i);
            if (!object_slots(c, nrows, object_data[i])) {
                return nullptr;
            }
            continue;
        }
        column_buffers[i] = std::make_unique<Buffer>();
        if (!column_buffers[i]->get(c, true, "column")) {
            return nullptr;
        }
        if (column_buffers[i]->size() != nrows * store_size(plan.fields[i].store)) {
            PyErr_SetString(PyExc_ValueError, "a column's size does not match the rows");
            return nullptr;
        }
        column_data[i] = column_buffers[i]->mutable_data();
    }
    std::vector<std::vector<ObjectCell>> object_cells(nf);
    for (std::size_t i : object_fields) {
        object_cells[i].assign(nrows, ObjectCell{0, kNoCell});
    }
    const std::vector<FastField> fast = fast_fields(plan, column_data);

    std::vector<CellError> errors;
    std::size_t longer = 0;
    std::size_t rows_done = 0;
    bool bad_row = false;
    Py_BEGIN_ALLOW_THREADS
    PacketState state(nf);
    const unsigned char* const base = packets.source.data();
    const unsigned char* const buffer_end = base + packets.source.size();
    const std::uint64_t fixed_end_bytes = (plan.end_bits >> 3) + ((plan.end_bits & 7) != 0 ? 1 : 0);
    // Blocks of packets small enough to stay in the cache: the packets that
    // hold every field are decoded field by field (a tight loop per field),
    // the others one by one by the general path.
    constexpr std::size_t kBlock = 256;
    const unsigned char* block[kBlock];
    for (std::size_t row0 = 0; row0 < nrows && !bad_row; row0 += kBlock) {
        const std::size_t n = std::min(kBlock, nrows - row0);
        std::size_t general = 0;
        for (std::size_t j = 0; j < n; ++j) {
            const unsigned char* data;
            std::size_t size;
            std::uint64_t offset;
            if (!packets.packet(row0 + j, data, size, offset)) {
                bad_row = true;
                rows_done = row0 + j;
                break;
            }
            const bool fast = plan.positions_ok && size >= fixed_end_bytes;
            block[j] = fast ? data : nullptr;
            if (fast) {
                if (size > fixed_end_bytes) {
                    ++longer;
                }
                for (std::size_t i : object_fields) {
                    object_cells[i][row0 + j] = ObjectCell{offset * 8 + plan.positions[i], plan.fields[i].bits};
                }
            } else {
                ++general;
            }
        }
        if (bad_row) {
            break;
        }
        for (const FastField& ff : fast) {
            if (ff.op != FastOp::Generic) {
                fast_column(ff, block, n, row0, buffer_end);
                continue;
            }
            const FieldPlan& f = plan.fields[ff.index];
            for (std::size_t j = 0; j < n; ++j) {
                if (block[j] == nullptr) {
                    continue;
                }
                const std::size_t size = packets.size_of(row0 + j);
                auto cell = numeric_cell(f, block[j], size, ff.pos, f.bits);
                if (cell) {
                    put(ff.store, ff.column, row0 + j, *cell);
                } else {
                    put(ff.store, ff.column, row0 + j, null_payload(ff.store));
                    errors.push_back(CellError{row0 + j, ff.index, std::move(cell.error())});
                }
            }
        }
        for (std::size_t j = 0; j < n && general > 0; ++j) {
            if (block[j] != nullptr) {
                continue;
            }
            --general;
            const std::size_t r = row0 + j;
            const unsigned char* data = nullptr;
            std::size_t size = 0;
            std::uint64_t offset = 0;
            packets.packet(r, data, size, offset);  // checked in the first pass
            state.reset();
            bool failed = false;
            for (std::size_t i = 0; i < nf; ++i) {
                const FieldPlan& f = plan.fields[i];
                auto placed = place(plan, i, size, state);
                if (!placed) {
                    if (f.store != Store::Object) {
                        put(f.store, column_data[i], r, null_payload(f.store));
                    }
                    state.have_value[i] = 0;
                    errors.push_back(CellError{r, i, std::move(placed.error())});
                    failed = true;
                } else if (f.store == Store::Object) {
                    object_cells[i][r] = ObjectCell{offset * 8 + placed->pos, placed->bits};
                } else {
                    auto cell = numeric_cell(f, data, size, placed->pos, placed->bits);
                    if (cell) {
                        put(f.store, column_data[i], r, *cell);
                        if (plan.dynamic) {
                            state.have_value[i] = payload_as_size(f.store, *cell, state.values[i]);
                        }
                    } else {
                        put(f.store, column_data[i], r, null_payload(f.store));
                        state.have_value[i] = 0;
                        errors.push_back(CellError{r, i, std::move(cell.error())});
                        failed = true;
                    }
                }
                if (failed && stop_first) {
                    break;
                }
            }
            if (std::uint64_t{size} > (state.end_bits >> 3) + ((state.end_bits & 7) != 0 ? 1 : 0)) {
                ++longer;
            }
        }
        rows_done = row0 + n;
        if (stop_first && !errors.empty()) {
            break;
        }
    }
    Py_END_ALLOW_THREADS
    if (bad_row) {
        bad_packet_row(rows_done);
        return nullptr;
    }

    // Object cells, with the GIL: each window is checked by its codec and
    // becomes a str (or bytes). When stopping at the first failure, rows
    // after the first failure found so far are left out.
    auto by_position = [](const CellError& x, const CellError& y) {
        return x.row != y.row ? x.row < y.row : x.field < y.field;
    };
    // A cell fails at most once, so no two errors compare equal and a plain
    // sort gives the one order.
    std::sort(errors.begin(), errors.end(), by_position);
    std::size_t last_row = rows_done;  // rows [0, last_row) are wanted
    if (stop_first && !errors.empty()) {
        last_row = errors.front().row + 1;
    }
    const std::size_t numeric_errors = errors.size();
    std::string scratch;
    for (std::size_t i : object_fields) {
        const FieldPlan& f = plan.fields[i];
        PyObject** cells = object_data[i];
        // A cell whose bytes equal the previous cell's (byte-aligned fields:
        // mode names, identifiers) shares its object, held by the column.
        PyObject* last_value = nullptr;
        ObjectCell last{0, kNoCell};
        const unsigned char* source = packets.source.data();
        for (std::size_t r = 0; r < nrows; ++r) {
            const ObjectCell& c = object_cells[i][r];
            PyObject* value = nullptr;
            const bool aligned = f.order == ByteOrder::Big && (c.pos & 7) == 0 && (c.bits & 7) == 0;
            if (c.bits != kNoCell && r < last_row && aligned && last_value != nullptr && c.bits == last.bits &&
                std::memcmp(source + (c.pos >> 3), source + (last.pos >> 3), static_cast<std::size_t>(c.bits >> 3)) ==
                    0) {
                value = Py_NewRef(last_value);
            } else if (c.bits != kNoCell && r < last_row) {
                Error failure;
                value = object_value(f, source, c.pos, c.bits, scratch, failure);
                if (value != nullptr && aligned) {
                    last_value = value;
                    last = c;
                }
                if (value == nullptr) {
                    if (PyErr_Occurred()) {
                        return nullptr;
                    }
                    errors.push_back(CellError{r, i, std::move(failure)});
                    if (stop_first) {
                        last_row = std::min(last_row, r + 1);
                    }
                }
            }
            PyObject* old = cells[r];
            cells[r] = value ? value : Py_NewRef(Py_None);
            Py_XDECREF(old);
        }
    }
    if (errors.size() != numeric_errors) {
        // A cell fails at most once, so no two errors compare equal and a plain
    // sort gives the one order.
    std::sort(errors.begin(), errors.end(), by_position);
    }

    PyRef error_list(PyList_New(0));
    if (!error_list) {
        return nullptr;
    }
    for (const CellError& e : errors) {
        PyRef entry(Py_BuildValue("(nnis#)", static_cast<Py_ssize_t>(e.row), static_cast<Py_ssize_t>(e.field),
                                  static_cast<int>(e.error.kind), e.error.message.data(),
                                  static_cast<Py_ssize_t>(e.error.message.size())));
        if (!entry || PyList_Append(error_list.get(), entry.get()) < 0) {
            return nullptr;
        }
    }
    return Py_BuildValue("(Onn)", error_list.get(), static_cast<Py_ssize_t>(longer),
                         static_cast<Py_ssize_t>(rows_done));
}

// ---------------------------------------------------------------------------
// rows(plan, buffer, offsets, lengths, rows) -> (dicts, error or None)
// error = (row, field, kind, message) of the first failing cell; the dicts
// are those of the rows before it.

PyObject* rows(PyObject*, PyObject* args) {
    PyObject *plan_obj, *src, *off, *len, *idx;
    if (!PyArg_ParseTuple(args, "OOOOO", &plan_obj, &src, &off, &len, &idx)) {
        return nullptr;
    }
    const NativePlan* native = get_plan(plan_obj);
    if (native == nullptr) {
        return nullptr;
    }
    const Plan& plan = native->plan;
    const std::size_t nf = plan.fields.size();
    Packets packets;
    if (!packets.get(src, off, len, idx)) {
        return nullptr;
    }
    PyRef out(PyList_New(static_cast<Py_ssize_t>(packets.count)));
    if (!out) {
        return nullptr;
    }
    const std::vector<FastField> fields = row_fields(plan);
    const std::uint64_t fixed_end_bytes = (plan.end_bits >> 3) + ((plan.end_bits & 7) != 0 ? 1 : 0);
    const unsigned char* const buffer_end = packets.source.data() + packets.source.size();
    PacketState state(nf);
    std::string scratch;
    std::size_t done = 0;
    auto failed = [&](std::size_t r, std::size_t i, const Error& e) -> PyObject* {
        // The dicts of the rows before the failing one, and the failure.
        PyRef before(PyList_GetSlice(out.get(), 0, static_cast<Py_ssize_t>(done)));
        if (!before) {
            return nullptr;
        }
        return Py_BuildValue("(O(nnis#))", before.get(), static_cast<Py_ssize_t>(r), static_cast<Py_ssize_t>(i),
                             static_cast<int>(e.kind), e.message.data(), static_cast<Py_ssize_t>(e.message.size()));
    };
    PyObject* const* const names = native->name_objects.data();
    for (std::size_t r = 0; r < packets.count; ++r) {
        const unsigned char* data;
        std::size_t size;
        std::uint64_t offset;
        if (!packets.packet(r, data, size, offset)) {
            bad_packet_row(r);
            return nullptr;
        }
        // A copy of the template holds every key in place: each field then
        // replaces a value instead of inserting an entry. The list owns the
        // row at once (a failure drops the list's unfinished tail).
        PyObject* row = PyDict_Copy(native->row_template.get());
        if (row == nullptr) {
            return nullptr;
        }
        PyList_SET_ITEM(out.get(), static_cast<Py_ssize_t>(r), row);
        // A packet that holds every field of a fixed layout: each field is
        // at its compiled position.
        const bool fast_row = plan.positions_ok && size >= fixed_end_bytes;
        if (!fast_row) {
            state.reset();
        }
        for (std::size_t i = 0; i < nf; ++i) {
            const FastField& ff = fields[i];
            PyObject* value;
            if (fast_row && ff.op != FastOp::Generic) [[likely]] {
                value = payload_object(ff.store, fast_payload(ff, data, buffer_end));
            } else {
                const FieldPlan& f = plan.fields[i];
                std::uint64_t pos = ff.pos;
                std::uint64_t bits = f.bits;
                if (!fast_row) {
                    auto placed = place(plan, i, size, state);
                    if (!placed) {
                        return failed(r, i, placed.error());
                    }
                    pos = placed->pos;
                    bits = placed->bits;
                }
                if (f.store == Store::Object) {
                    Error failure;
                    value = object_value(f, data, pos, bits, scratch, failure);
                    if (value == nullptr && !PyErr_Occurred()) {
                        return failed(r, i, failure);
                    }
                } else {
                    auto cell = numeric_cell(f, data, size, pos, bits);
                    if (!cell) {
                        return failed(r, i, cell.error());
                    }
                    if (plan.dynamic) {
                        state.have_value[i] = payload_as_size(f.store, *cell, state.values[i]);
                    }
                    value = payload_object(f.store, *cell);
                }
            }
            if (value == nullptr) {
                return nullptr;
            }
            const int set = PyDict_SetItem(row, names[i], value);
            Py_DECREF(value);
            if (set < 0) {
                return nullptr;
            }
        }
        done = r + 1;
    }
    return Py_BuildValue("(OO)", out.get(), Py_None);
}

// ---------------------------------------------------------------------------
// scan(buffer, prefix_bytes) -> (offsets, lengths, apids, sequence_counts,
//   sequence_flags, packet_types, stop, stop_offset, needed, available)
// The arrays are bytes objects of native-endian machine integers.

template <class T>
PyObject* bytes_of(const std::vector<T>& v) {
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(v.data()),
                                     static_cast<Py_ssize_t>(v.size() * sizeof(T)));
}

PyObject* scan(PyObject*, PyObject* args) {
    PyObject* src;
    Py_ssize_t prefix = 0;
    if (!PyArg_ParseTuple(args, "On", &src, &prefix)) {
        return nullptr;
    }
    if (prefix < 0) {
        PyErr_SetString(PyExc_ValueError, "prefix_bytes must not be negative");
        return nullptr;
    }
    Buffer buffer;
    if (!buffer.get(src, false, "source")) {
        return nullptr;
    }
    ScanResult r;
    Py_BEGIN_ALLOW_THREADS
    r = scan_packets(buffer.data(), buffer.size(), static_cast<std::size_t>(prefix));
    Py_END_ALLOW_THREADS
    PyRef arrays[] = {PyRef(bytes_of(r.offsets)),         PyRef(bytes_of(r.lengths)),
                      PyRef(bytes_of(r.apids)),           PyRef(bytes_of(r.sequence_counts)),
                      PyRef(bytes_of(r.sequence_flags)),  PyRef(bytes_of(r.packet_types))};
    for (const PyRef& a : arrays) {
        if (!a) {
            return nullptr;
        }
    }
    return Py_BuildValue("(OOOOOOiKKK)", arrays[0].get(), arrays[1].get(), arrays[2].get(), arrays[3].get(),
                         arrays[4].get(), arrays[5].get(), static_cast<int>(r.stop),
                         static_cast<unsigned long long>(r.stop_offset), static_cast<unsigned long long>(r.needed),
                         static_cast<unsigned long long>(r.available));
}

PyMethodDef methods[] = {
    {"scan", scan, METH_VARARGS, "Scan a buffer of space packets."},
    {"compile", compile_plan, METH_O, "Compile a list of field tuples into a plan."},
    {"decode", decode, METH_VARARGS, "Decode packets into column buffers."},
    {"rows", rows, METH_VARARGS, "Decode packets into one dict each."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot slots[] = {
#ifdef Py_GIL_DISABLED
    {Py_mod_gil, Py_MOD_GIL_USED},
#endif
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "kestrune_ccsds._native", "Packet scanner and column decoder of kestrune_ccsds.", 0,
    methods, slots, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace kestrune::ccsds

PyMODINIT_FUNC PyInit__native() { return PyModuleDef_Init(&kestrune::ccsds::module_def); }
