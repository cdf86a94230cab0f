// What was read from recipe item dicts, remembered across calls.
//
// A recipe item dict is read the same way on every call as long as its
// contents do not change. The cache keeps, per item dict, what the packet
// layers read from it (everything but `value`) and uses it when the same dict
// comes again. A dict is remembered from the second time it is read: the
// first time it is only watched and marked as seen, since most dicts read
// once are a recipe built for one call. The interpreter reports every change
// of a watched dict and its deallocation before they happen; every change
// but a store or deletion of `value` drops the dict's entry, so an entry
// always describes the dict as it is now. An entry also follows the stores
// into `value`, so that the value is read without a lookup. A miss is always
// served by the ordinary reading of the dict, which stays the reference
// behaviour.
//
// A recipe (list or tuple) whose items the cache all knows is compiled into
// a plan on the next call; later calls with it take the plan.
//
// Only dicts whose reading cannot run Python code, and so cannot answer
// differently from one call to the next, are cached: exact dicts with a
// combined table, exact str keys only, and exact str / int / bool values.
//
// Entries own references to the name and the value they remember, so that
// nothing an entry names can be freed while the entry lives, even if some
// other watcher's callback lets a packet call read the dict between our
// event and the change itself. The cache takes the highest free watcher id:
// the interpreter calls watchers in id order, so ours runs after every
// watcher registered later and nothing can refill an entry between our
// event and the change it announces.
//
// The cache is off when the environment variable KESTRUNE_RECIPE_CACHE is
// "0" at the first packet call, when the interpreter has no free dict watcher
// then, and on a free-threaded build that runs without the GIL.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>

#include "recipe.hpp"

namespace kestrune::recipe_cache {

enum class Direction : std::uint8_t { Pack = 0, Unpack = 1 };

// A direction's code for an encoding; kNoCode when that direction has not
// read the dict yet.
inline constexpr std::uint8_t kNoCode = 0xFF;

// What a packet layer reads from an item dict, but its value. Trivial, so
// that arrays of it cost nothing to set up: value-initialise a single one.
struct Item {
    // Borrowed from the entry, which owns it. Take a reference before
    // anything that can run Python code (which may drop the entry).
    PyObject* name;
    std::uint64_t offset;  // 0 without offset_bits
    std::uint32_t bits;
    bool has_offset;
    bool reverse_bits;
    bool little;
    std::uint8_t encoding;
    // The dict's `value` (borrowed, like `name`); nullptr when it has to be
    // looked up.
    PyObject* value;
};

namespace detail {

enum Flags : std::uint8_t { kHasOffset = 1, kReverseBits = 2, kLittle = 4 };

struct Entry {
    PyObject* dict;  // nullptr: free slot (not a reference: the entry leaves with the dict)
    PyObject* name;  // owned; nullptr while the dict has only been seen once (both codes kNoCode)
    std::uint64_t offset;
    std::uint32_t bits;
    std::uint8_t flags;
    std::uint8_t codes[2];  // per Direction
    // The dict's current `value` (owned), kept up to date by the stores'
    // events; nullptr when unknown or when freeing it could run Python code.
    PyObject* value;
};

struct Table {
    Entry* slots = nullptr;
    std::size_t mask = 0;  // capacity - 1 (a power of two), 0 while empty
    unsigned shift = 64;   // 64 - log2(capacity)
    std::size_t count = 0;
};

// At most this many entries (40 bytes each, in a table at most half full):
// thousands of items, in a table small enough for the L2 cache. Past it
// nothing more is filled until entries leave with their dicts.
constexpr std::size_t kMaxEntries = 4096;

enum class State : std::uint8_t { Undecided, On, Off };

extern Table g_table;
extern State g_state;
// Moves whenever an entry leaves the table or entries move in it; a plan
// checked at this version still points at its items' entries.
extern std::uint64_t g_version;

void decide() noexcept;

inline std::size_t slot_of(const Table& t, const PyObject* dict) noexcept {
    const auto h = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(dict) >> 4) * 0x9E3779B97F4A7C15ULL;
    return static_cast<std::size_t>(h >> t.shift);
}

}  // namespace detail

// Forgets everything when the runtime has finalised: its watchers are gone
// and the dicts the table names were freed without events. The next runtime
// decides afresh and takes a watcher of its own.
void forget_recipe_cache() noexcept;

// True when the cache is in use. The first call (at the first packet call)
// decides, once per interpreter run.
inline bool active() noexcept {
    if (detail::g_state == detail::State::Undecided) [[unlikely]] {
        detail::decide();
    }
    return detail::g_state == detail::State::On;
}

// True when nothing more is filled: a miss then stays a miss until entries
// leave with their dicts. A call that meets a miss while the table is full
// stops looking items up, so that a working set far larger than the table
// costs no more than reading every item afresh.
inline bool full() noexcept { return detail::g_table.count >= detail::kMaxEntries; }

// On a hit copies the entry of `dict` for `direction` into `out` (no pointer
// into the table is kept). `dict` must be an exact dict.
inline bool find(PyObject* dict, Direction direction, Item& out) noexcept {
    const detail::Table& t = detail::g_table;
    if (t.count == 0) {
        return false;
    }
    for (std::size_t i = detail::slot_of(t, dict);; i = (i + 1) & t.mask) {
        const detail::Entry& e = t.slots[i];
        if (e.dict == dict) {
            const std::uint8_t code = e.codes[static_cast<int>(direction)];
            if (code == kNoCode) {
                return false;
            }
            out.name = e.name;
            out.offset = e.offset;
            out.bits = e.bits;
            out.has_offset = (e.flags & detail::kHasOffset) != 0;
            out.reverse_bits = (e.flags & detail::kReverseBits) != 0;
            out.little = (e.flags & detail::kLittle) != 0;
            out.encoding = code;
            out.value = e.value;
            return true;
        }
        if (!e.dict) {
            return false;
        }
    }
}

// The value of an item dict that `find` knew, as PyDict_GetItemRef(dict,
// value_key, out) gives it (value_key: the interned "value"). `item` must
// have been copied out of the table after the last time Python code could
// run, so that its value is still the dict's.
inline int find_value(PyObject* dict, const Item& item, PyObject* value_key, PyObject** out) {
    if (item.value) {
        *out = Py_NewRef(item.value);
        return 1;
    }
    return PyDict_GetItemRef(dict, value_key, out);
}

// A compiled plan: a whole recipe (an exact list or tuple of item dicts) as
// the cache knows it, the fields in order with their places worked out. It
// holds nothing of its own about the dicts: every field points at its
// dict's entry, and the plan is used only while the recipe still holds the
// same dicts, in the same order, with the same entries. A call that uses a
// plan runs no Python code, so none of this can change under it.
struct PlanField {
    PyObject* dict;  // the item (not a reference: compared by identity only)
    PyObject* name;  // the entry's name (borrowed from the entry)
    const detail::Entry* entry;  // the dict's entry while the plan is current
    std::uint64_t pos;  // the field's first bit, counted from the recipe's start
    std::uint64_t offset;  // the entry's, which decided `pos`
    bool has_offset;
    std::uint32_t bits;
    std::uint8_t encoding;
    bool little;
    bool reverse_bits;

    // The dict's `value` as find_value gives it.
    int value(PyObject* value_key, PyObject** out) const {
        if (entry->value) {
            *out = Py_NewRef(entry->value);
            return 1;
        }
        return PyDict_GetItemRef(dict, value_key, out);
    }
};

struct Plan {
    PyObject* recipe;  // the list or tuple (not a reference: a hint, the items are compared)
    Direction direction;
    // False when the recipe has a field that the planned path leaves to the
    // ordinary one (kept so that it is not compiled again on every call).
    bool usable;
    std::uint64_t version;  // detail::g_version when the entries were last checked
    std::uint64_t end;  // the furthest field end, in bits from the recipe's start
    // Unpack: every name in recipe order, each mapped to None, copied for
    // each result (owned).
    PyObject* result_template;
    std::size_t count;
    PlanField* fields;  // count of them
};

// Recipes longer than this are never planned: the packet functions check
// for signals (which can run Python code) every so many items.
inline constexpr std::size_t kMaxPlanItems = kItemsBetweenSignalChecks - 1;
// Nor are fields of this many bits or more, whose codecs run without the
// GIL (other threads could change the recipe meanwhile).
inline constexpr std::uint64_t kMaxPlanFieldBits = std::uint64_t{8} << 20;

// The plan of `recipe` for `direction`, or nullptr. `recipe` must be an
// exact list or tuple. A plan whose recipe has changed is dropped.
const Plan* find_plan(PyObject* recipe, Direction direction) noexcept;

// Whether a field's encoding and width can take the planned path; the
// direction's own rule.
using PlanFieldCheck = bool (*)(std::uint8_t encoding, std::uint32_t bits);

// Compiles and keeps the plan of `recipe` (an exact list or tuple) for
// `direction`, after a call in which the cache knew every item. Does
// nothing when an item is no longer known. Never fails: the recipe is
// simply not planned.
void compile_plan(PyObject* recipe, Direction direction, PlanFieldCheck check) noexcept;

// The ordinary reading of one item dict on a miss, which may end in a fill.
// Create it before the first key is read: from then on any change of the
// dict (or of any other watched dict) cancels the fill.
class Reading {
public:
    explicit Reading(PyObject* dict) noexcept;
    Reading(const Reading&) = delete;
    Reading& operator=(const Reading&) = delete;

    // Remembers `item` (read from the dict since the reading began) for
    // `direction`, if the dict can be cached, every value read was of an
    // exact type and nothing has changed since the reading began.
    void fill(const Item& item, Direction direction) noexcept;

private:
    PyObject* dict_ = nullptr;  // nullptr: the dict cannot be cached
    std::uint64_t events_ = 0;
    std::uint8_t value_index_ = kNoCode;
};

}  // namespace kestrune::recipe_cache
