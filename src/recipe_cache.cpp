#include "recipe_cache.hpp"

#include <bit>
#include <cstdlib>
#include <cstring>
#include <new>

#include "pyref.hpp"
#include "recipe.hpp"

namespace kestrune::recipe_cache {
namespace detail {

Table g_table;
State g_state = State::Undecided;
std::uint64_t g_version = 0;

namespace {

constexpr std::size_t kFirstCapacity = 64;

int g_watcher = -1;
PyObject* g_value_key = nullptr;  // the interned "value"
// Counts the changes of watched dicts that drop an entry (or would, had the
// dict one); a reading that sees it move does not fill.
std::uint64_t g_events = 0;
// The dict of the latest change event. Its change may not have happened yet
// (a watcher with a higher id than ours may still be running, and may let a
// packet call read the dict), so it is not filled until another event comes.
const PyObject* g_changing = nullptr;
// Whether a watcher may run after ours: ids above ours were taken when we
// took ours. The interpreter has ids 0 to 7 (more would only make this
// true without need).
constexpr int kHighestWatcherId = 7;
bool g_watchers_after_us = true;

bool is_value_key(PyObject* key) noexcept {
    if (key == g_value_key) {
        return true;
    }
    return key && PyUnicode_CheckExact(key) && PyUnicode_GET_LENGTH(key) == 5 &&
           PyUnicode_KIND(key) == PyUnicode_1BYTE_KIND && std::memcmp(PyUnicode_1BYTE_DATA(key), "value", 5) == 0;
}

// Values an entry may own: freeing them runs no Python code, so that the
// last reference can be dropped inside a dict event.
bool keepable(PyObject* value) noexcept {
    return PyLong_CheckExact(value) || PyUnicode_CheckExact(value) || PyFloat_CheckExact(value) ||
           PyBytes_CheckExact(value) || PyBool_Check(value) || value == Py_None;
}

// Makes `value` the entry's value (nullptr or a value that may not be kept:
// looked up on use).
void set_value(Entry& e, PyObject* value) noexcept {
    PyObject* old = e.value;
    e.value = value && keepable(value) ? Py_NewRef(value) : nullptr;
    Py_XDECREF(old);
}

// Linear probing without tombstones: a removal moves later entries of the
// same run back, so that a lookup can stop at the first free slot. Neither
// removal nor lookup allocates.
void erase(Table& t, const PyObject* dict) noexcept {
    if (t.count == 0) {
        return;
    }
    std::size_t hole = slot_of(t, dict);
    while (t.slots[hole].dict != dict) {
        if (!t.slots[hole].dict) {
            return;
        }
        hole = (hole + 1) & t.mask;
    }
    PyObject* const name = t.slots[hole].name;
    PyObject* const value = t.slots[hole].value;
    for (std::size_t j = (hole + 1) & t.mask; t.slots[j].dict; j = (j + 1) & t.mask) {
        const std::size_t home = slot_of(t, t.slots[j].dict);
        // The entry at j may fill the hole unless its home lies cyclically
        // in (hole, j].
        const bool stays = hole <= j ? (hole < home && home <= j) : (hole < home || home <= j);
        if (!stays) {
            t.slots[hole] = t.slots[j];
            hole = j;
        }
    }
    t.slots[hole] = Entry{};
    --t.count;
    ++g_version;
    // Only now, with the table consistent again.
    Py_XDECREF(name);
    Py_XDECREF(value);
}

Entry* slot_for(Table& t, const PyObject* dict) noexcept {
    std::size_t i = slot_of(t, dict);
    while (t.slots[i].dict && t.slots[i].dict != dict) {
        i = (i + 1) & t.mask;
    }
    return &t.slots[i];
}

bool grow(Table& t) noexcept {
    const std::size_t capacity = t.slots ? (t.mask + 1) * 2 : kFirstCapacity;
    auto* slots = new (std::nothrow) Entry[capacity]();
    if (!slots) {
        return false;
    }
    Table bigger;
    bigger.slots = slots;
    bigger.mask = capacity - 1;
    bigger.shift = 64 - static_cast<unsigned>(std::countr_zero(capacity));
    if (t.slots) {
        for (std::size_t i = 0; i <= t.mask; ++i) {
            if (t.slots[i].dict) {
                *slot_for(bigger, t.slots[i].dict) = t.slots[i];
                ++bigger.count;
            }
        }
        delete[] t.slots;
    }
    t = bigger;
    ++g_version;
    return true;
}

// The entry of `dict`, or nullptr.
Entry* find_entry(Table& t, const PyObject* dict) noexcept {
    if (t.count == 0) {
        return nullptr;
    }
    Entry* e = slot_for(t, dict);
    return e->dict ? e : nullptr;
}

// ---------------------------------------------------------------------------
// Plans: two ways per set, a set per recipe address. A recipe whose set is
// full takes the place of the one used less recently.

constexpr std::size_t kPlanSets = 512;

struct PlanSet {
    Plan* ways[2];
    std::uint8_t recent;  // the way used last
};

PlanSet g_plans[kPlanSets];

std::size_t plan_set_of(const PyObject* recipe, Direction direction) noexcept {
    const auto h = (static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(recipe) >> 4) * 2 +
                    static_cast<std::uint64_t>(direction)) *
                   0x9E3779B97F4A7C15ULL;
    return static_cast<std::size_t>(h >> (64 - 9));
}
static_assert(kPlanSets == 512, "plan_set_of takes 9 bits of the hash");

// Frees a plan. `release`: whether its references are still to be dropped
// (not once the runtime that made them has finalised).
void free_plan(Plan* plan, bool release) noexcept {
    if (!plan) {
        return;
    }
    if (release) {
        Py_XDECREF(plan->result_template);  // a dict of str and None: frees nothing that runs code
    }
    delete[] plan->fields;
    delete plan;
}

void drop_plans(bool release) noexcept {
    for (PlanSet& set : g_plans) {
        for (Plan*& plan : set.ways) {
            free_plan(plan, release);
            plan = nullptr;
        }
        set.recent = 0;
    }
}

// Whether `e` still says what the plan's field was compiled from.
bool entry_matches(const Entry& e, const PlanField& f, Direction direction) noexcept {
    return e.name == f.name && e.bits == f.bits && e.codes[static_cast<int>(direction)] == f.encoding &&
           ((e.flags & kHasOffset) != 0) == f.has_offset && (!f.has_offset || e.offset == f.offset) &&
           ((e.flags & kLittle) != 0) == f.little && ((e.flags & kReverseBits) != 0) == f.reverse_bits;
}

// Called by the interpreter before a watched dict changes or is freed. It
// must not fail, allocate or run Python code: it only removes an entry or
// changes the value it remembers.
int on_dict_event(PyDict_WatchEvent event, PyObject* dict, PyObject* key, PyObject* new_value) {
    g_changing = event == PyDict_EVENT_DEALLOCATED ? nullptr : dict;
    switch (event) {
        case PyDict_EVENT_ADDED:
        case PyDict_EVENT_MODIFIED:
        case PyDict_EVENT_DELETED:
            if (is_value_key(key)) {
                // Nothing else cached depends on the value. Replacing a
                // present value cannot fail once announced; an addition
                // (which may fail to grow the dict) or a deletion leaves the
                // value to be looked up.
                Entry* e = find_entry(g_table, dict);
                if (e && e->name) {  // not an entry that only tells that the dict was seen
                    set_value(*e, event == PyDict_EVENT_MODIFIED ? new_value : nullptr);
                }
                return 0;
            }
            break;
        default:
            break;
    }
    ++g_events;
    erase(g_table, dict);
    return 0;
}

bool gil_enabled() {
#ifdef Py_GIL_DISABLED
    PyObject* query = PySys_GetObject("_is_gil_enabled");  // borrowed
    if (!query) {
        return false;
    }
    PyRef answer(PyObject_CallNoArgs(query));
    if (!answer) {
        PyErr_Clear();
        return false;
    }
    return answer.get() == Py_True;
#else
    return true;
#endif
}

// Takes every free watcher id, keeps the highest and gives the others back
// (they watched nothing). The interpreter calls a dict's watchers in id
// order: with the highest id ours runs last, just before the change, so no
// other watcher's callback can run a packet call that refills the entry it
// has just dropped. -1 when none is free.
int highest_free_watcher() noexcept {
    constexpr int kMaxTaken = 64;  // far more than the interpreter has
    int taken[kMaxTaken];
    int n = 0;
    while (n < kMaxTaken) {
        const int id = PyDict_AddWatcher(on_dict_event);
        if (id < 0) {
            PyErr_Clear();
            break;
        }
        taken[n++] = id;
    }
    int best = -1;
    for (int i = 0; i < n; ++i) {
        best = taken[i] > best ? taken[i] : best;
    }
    for (int i = 0; i < n; ++i) {
        // The watcher we keep is never given back: clearing it would not
        // unwatch the dicts, and a later owner of the id would get their
        // events.
        if (taken[i] != best && PyDict_ClearWatcher(taken[i]) < 0) {
            PyErr_Clear();
        }
    }
    return best;
}

}  // namespace

void decide() noexcept {
    g_state = State::Off;
    const char* setting = std::getenv("KESTRUNE_RECIPE_CACHE");
    if (setting && std::strcmp(setting, "0") == 0) {
        return;
    }
    // Without the GIL the table would need locking of its own.
    if (!gil_enabled()) {
        return;
    }
    const int id = highest_free_watcher();
    if (id < 0) {
        return;  // no free watcher: run without the cache
    }
    g_watcher = id;
    g_watchers_after_us = id < kHighestWatcherId;
    g_value_key = recipe_keys()->value;
    g_state = State::On;
}

}  // namespace detail

void forget_recipe_cache() noexcept {
    using namespace detail;
    drop_plans(false);
    ++g_version;
    // The references the entries own went with the runtime that made them.
    delete[] g_table.slots;
    g_table = Table{};
    g_watcher = -1;
    g_value_key = nullptr;
    g_changing = nullptr;
    g_watchers_after_us = true;
    g_state = State::Undecided;
}

const Plan* find_plan(PyObject* recipe, Direction direction) noexcept {
    using namespace detail;
    PlanSet& set = g_plans[plan_set_of(recipe, direction)];
    int way = -1;
    for (int k = 0; k < 2; ++k) {
        const Plan* p = set.ways[k];
        if (p && p->recipe == recipe && p->direction == direction) {
            way = k;
        }
    }
    if (way < 0) {
        return nullptr;
    }
    Plan* plan = set.ways[way];
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(recipe);
    PyObject* const* items = PySequence_Fast_ITEMS(recipe);
    bool same = static_cast<std::size_t>(n) == plan->count;
    for (std::size_t i = 0; same && i < plan->count; ++i) {
        same = items[i] == plan->fields[i].dict;
    }
    if (same && plan->version != g_version) {
        // Entries have left or moved since the plan was checked: each item
        // must still have an entry saying what the plan says.
        for (std::size_t i = 0; same && i < plan->count; ++i) {
            PlanField& f = plan->fields[i];
            const Entry* e = find_entry(g_table, f.dict);
            same = e && entry_matches(*e, f, direction);
            f.entry = e;
        }
        if (same) {
            plan->version = g_version;
        }
    }
    if (!same) {
        // The recipe changed: its plan is made again once the cache knows
        // the new items.
        free_plan(plan, true);
        set.ways[way] = nullptr;
        return nullptr;
    }
    set.recent = static_cast<std::uint8_t>(way);
    return plan;
}

void compile_plan(PyObject* recipe, Direction direction, PlanFieldCheck check) noexcept {
    using namespace detail;
    if (g_state != State::On) {
        return;
    }
    const auto n = static_cast<std::size_t>(PySequence_Fast_GET_SIZE(recipe));
    if (n > kMaxPlanItems) {
        return;
    }
    PyObject* const* items = PySequence_Fast_ITEMS(recipe);
    auto* fields = new (std::nothrow) PlanField[n == 0 ? 1 : n];
    auto* plan = new (std::nothrow) Plan{recipe, direction, true, g_version, 0, nullptr, n, fields};
    if (!fields || !plan) {
        delete[] fields;
        delete plan;
        return;
    }
    std::uint64_t pos = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const Entry* e = PyDict_CheckExact(items[i]) ? find_entry(g_table, items[i]) : nullptr;
        const std::uint8_t code = e ? e->codes[static_cast<int>(direction)] : kNoCode;
        if (code == kNoCode) {
            free_plan(plan, true);  // an item the cache does not know (any more)
            return;
        }
        PlanField& f = fields[i];
        f = PlanField{items[i], e->name, e, 0, e->offset, (e->flags & kHasOffset) != 0, e->bits, code,
                      (e->flags & kLittle) != 0, (e->flags & kReverseBits) != 0};
        f.pos = f.has_offset ? f.offset : pos;
        if (f.bits > UINT64_MAX - f.pos || f.bits >= kMaxPlanFieldBits || !check(code, f.bits)) {
            plan->usable = false;  // left to the ordinary path, which has the messages
            continue;
        }
        pos = f.pos + f.bits;
        plan->end = pos > plan->end ? pos : plan->end;
    }
    if (plan->usable && direction == Direction::Unpack) {
        // The result's keys, inserted once in recipe order (a repeated name
        // keeps its first place, as in a dict filled item by item).
        PyObject* result = PyDict_New();
        for (std::size_t i = 0; result && i < n; ++i) {
            if (PyDict_SetItem(result, fields[i].name, Py_None) < 0) {
                Py_CLEAR(result);
            }
        }
        if (!result) {
            PyErr_Clear();
            free_plan(plan, true);
            return;
        }
        plan->result_template = result;
    }
    PlanSet& set = g_plans[plan_set_of(recipe, direction)];
    int way = !set.ways[0] ? 0 : !set.ways[1] ? 1 : 1 - set.recent;
    for (int k = 0; k < 2; ++k) {
        // A plan of the same recipe (there is none unless find_plan just
        // dropped it) is replaced.
        if (set.ways[k] && set.ways[k]->recipe == recipe && set.ways[k]->direction == direction) {
            way = k;
        }
    }
    free_plan(set.ways[way], true);
    set.ways[way] = plan;
    set.recent = static_cast<std::uint8_t>(way);
}

Reading::Reading(PyObject* dict) noexcept {
    using namespace detail;
    if (g_state != State::On || g_table.count >= kMaxEntries || !PyDict_CheckExact(dict) ||
        reinterpret_cast<PyDictObject*>(dict)->ma_values) {
        // A split table (an object's __dict__) can change without an event.
        return;
    }
    Table& t = g_table;
    if (!find_entry(t, dict)) {
        // The first time a dict is met it is only remembered as seen (and
        // watched, so that a change or its end forgets that): most dicts met
        // once are a recipe built for a single call, and reading them for
        // the cache would cost that call more than it could ever save.
        if ((t.count + 1) * 2 > t.mask + 1 && !grow(t)) {
            return;
        }
        if (PyDict_Watch(g_watcher, dict) < 0) {
            PyErr_Clear();
            return;
        }
        *slot_for(t, dict) = Entry{dict, nullptr, 0, 0, 0, {kNoCode, kNoCode}, nullptr};
        ++t.count;
        return;
    }
    // A key of another type could run its own __eq__ in a lookup.
    Py_ssize_t pos = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    std::uint8_t value_index = kNoCode;
    while (PyDict_Next(dict, &pos, &key, &value)) {
        if (!PyUnicode_CheckExact(key)) {
            return;
        }
        if (key == g_value_key && pos - 1 < kNoCode) {
            value_index = static_cast<std::uint8_t>(pos - 1);  // the entry PyDict_Next just read
        }
    }
    // Watched since it was first seen.
    dict_ = dict;
    events_ = g_events;
    value_index_ = value_index;
}

void Reading::fill(const Item& item, Direction direction) noexcept {
    using namespace detail;
    if (!dict_ || events_ != g_events || (g_watchers_after_us && dict_ == g_changing)) {
        return;
    }
    Table& t = g_table;
    if ((t.count + 1) * 2 > t.mask + 1) {
        if (t.count >= kMaxEntries || !grow(t)) {
            return;
        }
    }
    Entry* e = slot_for(t, dict_);
    const auto flags = static_cast<std::uint8_t>((item.has_offset ? kHasOffset : 0) |
                                                 (item.reverse_bits ? kReverseBits : 0) | (item.little ? kLittle : 0));
    if (!e->dict) {
        ++t.count;
    }
    if (!e->name) {
        // A new entry, or the one that only tells that the dict was seen.
        PyObject* value = e->value;
        *e = Entry{dict_, Py_NewRef(item.name), item.offset, item.bits, flags, {kNoCode, kNoCode}, nullptr};
        Py_XDECREF(value);
    }
    // The value now (stores into it did not stop the fill), where the dict
    // held it when the reading began; if it is no longer there, it is looked
    // up on use.
    Py_ssize_t pos = value_index_;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    const bool found = value_index_ != kNoCode && PyDict_Next(dict_, &pos, &key, &value) && key == g_value_key;
    set_value(*e, found ? value : nullptr);
    // An entry of the other direction was read from the same, unchanged
    // dict: only this direction's code is new.
    e->codes[static_cast<int>(direction)] = item.encoding;
}

}  // namespace kestrune::recipe_cache
