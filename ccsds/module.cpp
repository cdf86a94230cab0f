// The extension kestrune_ccsds._native: the packet scanner and the column
// decoder over compiled plans. The Python package builds the plans, owns the
// NumPy arrays and turns the results into streams and tables; this module
// only fills buffers it is handed, with the GIL released for the loops.
#include <Python.h>

#include <bit>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "plan.hpp"
#include "pyref.hpp"
#include "scan.hpp"

namespace kestrune::ccsds {
namespace {

constexpr const char* kPlanCapsule = "kestrune_ccsds.plan";

// A plan and the Python names of its fields (the keys of row dicts).
struct NativePlan {
    Plan plan;
    std::vector<PyRef> names;
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

// A str of decoder `which` from a window that the codec already accepted.
PyObject* text_object(TextDecoder which, std::string_view window) {
    const auto text = measure_text(which, window);
    if (!text) {
        PyErr_SetString(PyExc_ValueError, text.error().message.c_str());
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

PyObject* window_object(const FieldPlan& f, std::string_view window) {
    if (f.kind == Kind::Binary) {
        return PyBytes_FromStringAndSize(window.data(), static_cast<Py_ssize_t>(window.size()));
    }
    return text_object(f.text, window);
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

// ---------------------------------------------------------------------------
// decode(plan, buffer, offsets, lengths, rows, columns, stop_first)
//   -> (errors, objects, longer, rows_done)

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
    for (std::size_t i = 0; i < nf; ++i) {
        PyObject* c = PyList_GET_ITEM(columns, static_cast<Py_ssize_t>(i));
        if (plan.fields[i].store == Store::Object) {
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
    // Object cells: the window's bit position in the buffer and its width;
    // a width of UINT64_MAX marks a null cell.
    struct ObjectCell {
        std::uint64_t pos;
        std::uint64_t bits;
    };
    std::vector<std::vector<ObjectCell>> object_cells(nf);
    for (std::size_t i = 0; i < nf; ++i) {
        if (plan.fields[i].store == Store::Object) {
            object_cells[i].assign(nrows, ObjectCell{0, UINT64_MAX});
        }
    }

    std::vector<CellError> errors;
    std::size_t longer = 0;
    std::size_t rows_done = 0;
    bool bad_row = false;
    Py_BEGIN_ALLOW_THREADS
    PacketState state(nf);
    std::string scratch;
    for (std::size_t r = 0; r < nrows; ++r) {
        const unsigned char* data;
        std::size_t size;
        std::uint64_t offset;
        if (!packets.packet(r, data, size, offset)) {
            bad_row = true;
            rows_done = r;
            break;
        }
        bool failed = false;
        const bool fast = plan.positions_ok && std::uint64_t{size} * 8 >= plan.end_bits;
        state.reset();
        for (std::size_t i = 0; i < nf; ++i) {
            const FieldPlan& f = plan.fields[i];
            std::uint64_t pos, bits;
            if (fast) {
                pos = plan.positions[i];
                bits = f.bits;
            } else {
                auto placed = place(plan, i, size, state);
                if (!placed) {
                    if (f.store != Store::Object) {
                        put(f.store, column_data[i], r, null_payload(f.store));
                    }
                    state.have_value[i] = 0;
                    errors.push_back(CellError{r, i, std::move(placed.error())});
                    failed = true;
                    if (stop_first) {
                        break;
                    }
                    continue;
                }
                pos = placed->pos;
                bits = placed->bits;
            }
            if (f.store == Store::Object) {
                auto window = object_window(f, data, pos, bits, scratch);
                if (window) {
                    object_cells[i][r] = ObjectCell{offset * 8 + pos, bits};
                } else {
                    errors.push_back(CellError{r, i, std::move(window.error())});
                    failed = true;
                }
            } else {
                auto cell = numeric_cell(f, data, size, pos, bits);
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
        const std::uint64_t end_bits = fast ? plan.end_bits : state.end_bits;
        if (std::uint64_t{size} > (end_bits >> 3) + ((end_bits & 7) != 0 ? 1 : 0)) {
            ++longer;
        }
        rows_done = r + 1;
        if (failed && stop_first) {
            break;
        }
    }
    Py_END_ALLOW_THREADS
    if (bad_row) {
        bad_packet_row(rows_done);
        return nullptr;
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
    PyRef objects(PyList_New(static_cast<Py_ssize_t>(nf)));
    if (!objects) {
        return nullptr;
    }
    std::string scratch;
    for (std::size_t i = 0; i < nf; ++i) {
        const FieldPlan& f = plan.fields[i];
        if (f.store != Store::Object) {
            PyList_SET_ITEM(objects.get(), static_cast<Py_ssize_t>(i), Py_NewRef(Py_None));
            continue;
        }
        PyObject* cells = PyList_New(static_cast<Py_ssize_t>(nrows));
        if (cells == nullptr) {
            return nullptr;
        }
        PyList_SET_ITEM(objects.get(), static_cast<Py_ssize_t>(i), cells);
        for (std::size_t r = 0; r < nrows; ++r) {
            const ObjectCell& c = object_cells[i][r];
            PyObject* value;
            if (c.bits == UINT64_MAX) {
                value = Py_NewRef(Py_None);
            } else {
                auto window = object_window(f, packets.source.data(), c.pos, c.bits, scratch);
                value = window ? window_object(f, *window) : nullptr;
                if (value == nullptr) {
                    if (!PyErr_Occurred()) {
                        PyErr_SetString(PyExc_ValueError, window.error().message.c_str());
                    }
                    return nullptr;
                }
            }
            PyList_SET_ITEM(cells, static_cast<Py_ssize_t>(r), value);
        }
    }
    return Py_BuildValue("(OOnn)", error_list.get(), objects.get(), static_cast<Py_ssize_t>(longer),
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
    PyRef out(PyList_New(0));
    if (!out) {
        return nullptr;
    }
    PacketState state(nf);
    std::string scratch;
    for (std::size_t r = 0; r < packets.count; ++r) {
        const unsigned char* data;
        std::size_t size;
        std::uint64_t offset;
        if (!packets.packet(r, data, size, offset)) {
            bad_packet_row(r);
            return nullptr;
        }
        PyRef row(PyDict_New());
        if (!row) {
            return nullptr;
        }
        const bool fast = plan.positions_ok && std::uint64_t{size} * 8 >= plan.end_bits;
        state.reset();
        for (std::size_t i = 0; i < nf; ++i) {
            const FieldPlan& f = plan.fields[i];
            std::uint64_t pos, bits;
            Error failure;
            bool ok = true;
            PyRef value;
            if (fast) {
                pos = plan.positions[i];
                bits = f.bits;
            } else {
                auto placed = place(plan, i, size, state);
                if (!placed) {
                    failure = std::move(placed.error());
                    ok = false;
                } else {
                    pos = placed->pos;
                    bits = placed->bits;
                }
            }
            if (ok && f.store == Store::Object) {
                auto window = object_window(f, data, pos, bits, scratch);
                if (window) {
                    value = PyRef(window_object(f, *window));
                    if (!value) {
                        return nullptr;
                    }
                } else {
                    failure = std::move(window.error());
                    ok = false;
                }
            } else if (ok) {
                auto cell = numeric_cell(f, data, size, pos, bits);
                if (cell) {
                    value = PyRef(payload_object(f.store, *cell));
                    if (!value) {
                        return nullptr;
                    }
                    if (plan.dynamic) {
                        state.have_value[i] = payload_as_size(f.store, *cell, state.values[i]);
                    }
                } else {
                    failure = std::move(cell.error());
                    ok = false;
                }
            }
            if (!ok) {
                return Py_BuildValue("(O(nnis#))", out.get(), static_cast<Py_ssize_t>(r), static_cast<Py_ssize_t>(i),
                                     static_cast<int>(failure.kind), failure.message.data(),
                                     static_cast<Py_ssize_t>(failure.message.size()));
            }
            if (PyDict_SetItem(row.get(), native->names[i].get(), value.get()) < 0) {
                return nullptr;
            }
        }
        if (PyList_Append(out.get(), row.get()) < 0) {
            return nullptr;
        }
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
