#include "convert.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <new>

#include "pyerrors.hpp"

namespace kestrune {
namespace {

// collections.abc.Sequence, looked up on first need (only objects that fail
// PySequence_Check need it, so the import is not paid when the module is
// imported). No lock is held while the import runs Python code, which may
// let other threads in: each looks it up, the first to finish publishes it
// and the others drop theirs. A failed lookup raises its error and leaves
// nothing behind, so the next call tries again.
std::atomic<PyObject*> g_abc_sequence{nullptr};

PyObject* abc_sequence() {
    if (PyObject* cached = g_abc_sequence.load(std::memory_order_acquire)) {
        return cached;
    }
    PyRef module(PyImport_ImportModule("collections.abc"));
    PyRef type(module ? PyObject_GetAttrString(module.get(), "Sequence") : nullptr);
    if (!type) {
        return nullptr;
    }
    PyObject* expected = nullptr;
    if (g_abc_sequence.compare_exchange_strong(expected, type.get(), std::memory_order_acq_rel)) {
        return type.release();  // kept until the runtime finalises
    }
    return expected;
}

// The most items a list can hold, and the most that a sequence's len() may
// reserve before any item has arrived.
constexpr std::size_t kMaxItems = static_cast<std::size_t>(PY_SSIZE_T_MAX) / sizeof(PyObject*);
constexpr std::size_t kReserveCap = std::size_t{1} << 16;


bool set_str_to_vec_error() {
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
    return false;
}

// An int small enough to be held in one machine word (most ints are) gives
// its value without a call: `out` is set and true returned. Any other object
// is left to the general conversions.
inline bool compact_int(PyObject* obj, long long& out) {
    if (!PyLong_Check(obj)) {
        return false;
    }
    const auto* number = reinterpret_cast<PyLongObject*>(obj);
    if (!PyUnstable_Long_IsCompact(number)) {
        return false;
    }
    out = PyUnstable_Long_CompactValue(number);
    return true;
}

bool out_of_range() {
    PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
    return false;
}

// A signed 64-bit value (int or __index__). Out of range fails with the
// message of CPython's C long conversion on every platform, whatever the
// width of long there.
bool signed_64(PyObject* obj, long long& out) {
    static_assert(sizeof(long long) == 8);
    if (compact_int(obj, out)) {
        return true;
    }
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(obj, &overflow);
    if (overflow != 0) {
        PyErr_SetString(PyExc_OverflowError, "Python int too large to convert to C long");
        return false;
    }
    if (v == -1 && PyErr_Occurred()) {
        return false;
    }
    out = v;
    return true;
}

bool convert_bounded(PyObject* obj, long long max, long long& out) {
    long long v = 0;
    if (!signed_64(obj, v)) {
        return false;
    }
    if (v < 0 || v > max) {
        return out_of_range();
    }
    out = v;
    return true;
}

}  // namespace

// Copies the item references of an exact list or tuple. The container is
// read inside its critical section, so that on a free-threaded build with
// the GIL disabled no other thread changes it halfway through (elsewhere
// the section is free).
bool copy_items(PyObject* obj, std::vector<PyRef>& out) {
    bool copied = true;
    Py_BEGIN_CRITICAL_SECTION(obj);
    try {
        const Py_ssize_t n = PySequence_Fast_GET_SIZE(obj);
        PyObject** items = PySequence_Fast_ITEMS(obj);
        out.reserve(static_cast<std::size_t>(n));
        for (Py_ssize_t i = 0; i < n; ++i) {
            out.push_back(PyRef::borrow(items[i]));
        }
    } catch (const std::bad_alloc&) {
        copied = false;  // the section must end before the error is raised
    }
    Py_END_CRITICAL_SECTION();
    if (!copied) {
        out.clear();
        PyErr_NoMemory();
    }
    return copied;
}

void forget_sequence_type() { g_abc_sequence.store(nullptr, std::memory_order_release); }

void set_cast_error(PyObject* obj, const char* target) {
    PyRef name(PyType_GetQualName(Py_TYPE(obj)));
    if (!name) {
        return;
    }
    PyErr_Format(PyExc_TypeError, "'%U' object cannot be cast as '%s'", name.get(), target);
}

bool convert_str(PyObject* obj, std::string_view& out) {
    if (!PyUnicode_Check(obj)) {
        set_cast_error(obj, "str");
        return false;
    }
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(obj, &size);
    if (!data) {
        return false;
    }
    out = std::string_view(data, static_cast<std::size_t>(size));
    return true;
}

bool convert_bytes(PyObject* obj, std::string_view& out) {
    if (!PyBytes_Check(obj)) {
        set_cast_error(obj, "bytes");
        return false;
    }
    out = std::string_view(PyBytes_AS_STRING(obj), static_cast<std::size_t>(PyBytes_GET_SIZE(obj)));
    return true;
}

bool convert_sequence(PyObject* obj, std::vector<PyRef>& out) {
    out.clear();
    if (PyUnicode_Check(obj)) {
        return set_str_to_vec_error();
    }
    if (PyList_CheckExact(obj) || PyTuple_CheckExact(obj)) {
        // Take the references now: later changes to the list do not matter.
        return copy_items(obj, out);
    }
    if (!PySequence_Check(obj)) {
        PyObject* abc = abc_sequence();
        if (!abc) {
            return false;
        }
        const int is_sequence = PyObject_IsInstance(obj, abc);
        if (is_sequence < 0) {
            return false;
        }
        if (!is_sequence) {
            set_cast_error(obj, "Sequence");
            return false;
        }
    }
    // len() only sizes the result: a __len__ that fails is ignored (unless
    // it was interrupted), and the reservation is capped, since a __len__
    // may claim far more items than the iteration gives; the vector grows
    // as items arrive. A length that no list could hold fails at once, as
    // list() does, rather than after iterating until memory runs out.
    const Py_ssize_t hint = PyObject_Size(obj);
    if (hint < 0) {
        if (!clear_ordinary_error()) {
            return false;
        }
    } else if (static_cast<std::size_t>(hint) > kMaxItems) {
        PyErr_NoMemory();
        return false;
    } else {
        out.reserve(std::min(static_cast<std::size_t>(hint), kReserveCap));
    }
    PyRef iter(PyObject_GetIter(obj));
    if (!iter) {
        return false;
    }
    while (PyObject* item = PyIter_Next(iter.get())) {
        out.emplace_back(item);
    }
    return !PyErr_Occurred();
}

bool convert_byte_sequence(PyObject* obj, std::vector<std::uint8_t>& out) {
    out.clear();
    if (PyBytes_Check(obj)) {
        const auto* data = reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(obj));
        out.assign(data, data + PyBytes_GET_SIZE(obj));
        return true;
    }
    if (PyByteArray_Check(obj)) {
        // Copied inside the bytearray's critical section, as lists are.
        bool copied = true;
        Py_BEGIN_CRITICAL_SECTION(obj);
        try {
            const auto* data = reinterpret_cast<const std::uint8_t*>(PyByteArray_AS_STRING(obj));
            out.assign(data, data + PyByteArray_GET_SIZE(obj));
        } catch (const std::bad_alloc&) {
            copied = false;
        }
        Py_END_CRITICAL_SECTION();
        if (!copied) {
            PyErr_NoMemory();
        }
        return copied;
    }
    std::vector<PyRef> items;
    if (!convert_sequence(obj, items)) {
        return false;
    }
    out.resize(items.size());
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (!convert_u8(items[i].get(), out[i])) {
            return false;
        }
    }
    return true;
}

bool convert_double(PyObject* obj, double& out) {
    if (PyFloat_CheckExact(obj)) {
        out = PyFloat_AS_DOUBLE(obj);
        return true;
    }
    const double v = PyFloat_AsDouble(obj);
    if (v == -1.0 && PyErr_Occurred()) {
        return false;
    }
    out = v;
    return true;
}

float round_to_single(double value) noexcept {
    // Halfway between FLT_MAX and 2^128 rounds to infinity (ties to even);
    // anything at or beyond it is out of range, so it is mapped explicitly
    // rather than left to an out-of-range conversion.
    constexpr double kOverflow = 0x1.ffffffp127;
    if (value >= kOverflow) {
        return INFINITY;
    }
    if (value <= -kOverflow) {
        return -INFINITY;
    }
    return static_cast<float>(value);
}

bool convert_single(PyObject* obj, float& out) {
    double d = 0.0;
    if (!convert_double(obj, d)) {
        return false;
    }
    out = round_to_single(d);
    return true;
}

bool convert_i64(PyObject* obj, std::int64_t& out) {
    long long v = 0;
    if (!signed_64(obj, v)) {
        return false;
    }
    out = v;
    return true;
}

bool convert_u8(PyObject* obj, std::uint8_t& out) {
    long long v = 0;
    if (!convert_bounded(obj, 255, v)) {
        return false;
    }
    out = static_cast<std::uint8_t>(v);
    return true;
}

bool convert_u32(PyObject* obj, std::uint32_t& out) {
    long long v = 0;
    if (!convert_bounded(obj, 4294967295LL, v)) {
        return false;
    }
    out = static_cast<std::uint32_t>(v);
    return true;
}

bool convert_u64(PyObject* obj, std::uint64_t& out) {
    // A negative int fails in the general conversion, with its message.
    if (long long small = 0; compact_int(obj, small) && small >= 0) {
        out = static_cast<std::uint64_t>(small);
        return true;
    }
    unsigned long long v;
    if (PyLong_Check(obj)) {
        v = PyLong_AsUnsignedLongLong(obj);
    } else {
        PyRef index(PyNumber_Index(obj));
        if (!index) {
            return false;
        }
        v = PyLong_AsUnsignedLongLong(index.get());
    }
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        return false;
    }
    out = v;
    return true;
}

bool convert_u128(PyObject* obj, u128& out) {
    PyRef index(PyNumber_Index(obj));
    if (!index) {
        return false;
    }
    unsigned char buffer[16] = {};
    const int flags = Py_ASNATIVEBYTES_LITTLE_ENDIAN | Py_ASNATIVEBYTES_UNSIGNED_BUFFER |
                      Py_ASNATIVEBYTES_REJECT_NEGATIVE;
    const Py_ssize_t needed = PyLong_AsNativeBytes(index.get(), buffer, sizeof(buffer), flags);
    if (needed < 0) {
        return false;
    }
    if (needed > static_cast<Py_ssize_t>(sizeof(buffer))) {
        PyErr_SetString(PyExc_OverflowError, "Python int larger than 128 bits");
        return false;
    }
    std::uint64_t half[2] = {0, 0};  // low, high
    for (int i = 15; i >= 0; --i) {
        half[i / 8] = half[i / 8] << 8 | buffer[i];
    }
    out = make_u128(half[1], half[0]);
    return true;
}

bool convert_bool(PyObject* obj, bool& out) {
    if (PyBool_Check(obj)) {
        out = obj == Py_True;
        return true;
    }
    // NumPy booleans are accepted through their own truth slot.
    PyTypeObject* type = Py_TYPE(obj);
    // The interned name: a fresh string per call would take a new slot of the
    // type attribute cache (keyed by the name's address) every time.
    PyRef attribute(PyUnicode_InternFromString("__module__"));
    PyRef module(attribute ? PyObject_GetAttr(reinterpret_cast<PyObject*>(type), attribute.get()) : nullptr);
    if (!module) {
        if (!clear_ordinary_error()) {
            return false;
        }
    } else if (PyUnicode_Check(module.get()) && PyUnicode_CompareWithASCIIString(module.get(), "numpy") == 0) {
        PyRef name(PyType_GetName(type));
        if (!name) {
            return false;
        }
        if (PyUnicode_CompareWithASCIIString(name.get(), "bool_") == 0 ||
            PyUnicode_CompareWithASCIIString(name.get(), "bool") == 0) {
            inquiry truth = type->tp_as_number ? type->tp_as_number->nb_bool : nullptr;
            if (!truth) {
                PyRef qualname(PyType_GetQualName(type));
                if (qualname) {
                    PyErr_Format(PyExc_TypeError, "object of type '%U' does not define a '__bool__' conversion",
                                 qualname.get());
                }
                return false;
            }
            const int r = truth(obj);
            if (r < 0) {
                return false;
            }
            out = r != 0;
            return true;
        }
    }
    set_cast_error(obj, "bool");
    return false;
}

bool convert_dict(PyObject* obj) {
    if (!PyDict_Check(obj)) {
        set_cast_error(obj, "dict");
        return false;
    }
    return true;
}

}  // namespace kestrune
