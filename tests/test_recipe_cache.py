"""Recipes used again: what was read from an item dict is remembered while the
dict stays unchanged, and no caller can tell, except by speed.

The reference for every call is the same call on a deep copy whose dicts also
hold an int key: such dicts are never remembered, so the copy is read afresh
on every call. Whether the module watches a dict is read from the dict's
header (its watcher bits), which shows whether the cache is in use.
"""

import copy
import ctypes
import os
import struct
import subprocess
import sys
import sysconfig
import textwrap
import threading

import pytest
from hypothesis import HealthCheck, settings, strategies as st
from hypothesis.stateful import RuleBasedStateMachine, initialize, invariant, precondition, rule

import kestrune as k

FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
UNDER_ASAN = "libasan" in os.environ.get("LD_PRELOAD", "")


def watcher_bits(d):
    """The dict's watcher bits: the low byte of the word after ma_used."""
    return ctypes.c_uint64.from_address(id(d) + 3 * ctypes.sizeof(ctypes.c_ssize_t)).value & 0xFF


needs_dict_header = pytest.mark.skipif(FREE_THREADED or sys.implementation.name != "cpython",
                                       reason="reads the dict header of the default CPython build")


def outcome(fn, *args):
    try:
        result = fn(*args)
    except Exception as error:  # noqa: BLE001 - every exception is part of the outcome
        return ("raised", type(error), str(error), getattr(error, "__notes__", None))
    return ("returned", repr(result))


def reference_copy(recipe):
    """A deep copy whose dicts can never be cached (an extra int key)."""
    copied = copy.deepcopy(recipe)
    for item in copied:
        if isinstance(item, dict):
            item[0] = None
    return copied


# Values of types whose conversion runs Python code, or answers per call.
class StrSub(str):
    pass


class IntSub(int):
    pass


class Index:
    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v

    __float__ = lambda self: float(self.v)  # noqa: E731


class Mutating(Index):
    """Changes a recipe dict whenever it is converted."""

    def __init__(self, v, target, key, new):
        super().__init__(v)
        self.target, self.key, self.new = target, key, new

    def __index__(self):
        if self.new is None:
            self.target.pop(self.key, None)
        else:
            self.target[self.key] = self.new
        return self.v

    __float__ = lambda self: float(self.__index__())  # noqa: E731


class Reshaping(Index):
    """Reorders the recipe list that holds it whenever it is converted."""

    def __init__(self, v, recipe, how):
        super().__init__(v)
        self.recipe, self.how = recipe, how

    def __index__(self):
        if self.how == "reverse":
            self.recipe.reverse()
        elif self.recipe:
            self.recipe.append(self.recipe.pop(0))
        return self.v

    __float__ = lambda self: float(self.__index__())  # noqa: E731


class Cycling(Index):
    """Answers in turn: a value that is read on every call shows it."""

    def __init__(self, answers):
        super().__init__(0)
        self.answers, self.calls = answers, 0

    def __index__(self):
        self.calls += 1
        return self.answers[self.calls % len(self.answers)]


SNEAKY = {"equal": False}


class Sneaky:
    """A key that a lookup of `target` consults (same hash), and that equals
    it only while SNEAKY["equal"] is set."""

    def __init__(self, target):
        self.target = target

    def __hash__(self):
        return hash(self.target)

    def __eq__(self, other):
        return SNEAKY["equal"] and other == self.target


class DictSub(dict):
    def __getitem__(self, key):
        raise AssertionError("the base lookup is used")


class Owner:
    """An object whose __dict__ keeps its values inline (a split table)."""


def split_dict(item):
    owner = Owner()
    for key, value in item.items():
        if isinstance(key, str) and key.isidentifier():
            setattr(owner, key, value)
    return owner, owner.__dict__


KEYS = ["name", "encoding", "bits", "byte_order", "reverse_bits", "offset_bits", "value"]


def mostly(common, rare, one_in=4):
    """`rare` once in `one_in` draws (one_of would weigh equal branches as one)."""
    return st.integers(0, one_in - 1).flatmap(lambda i: rare if i == 0 else common)


good_names = st.sampled_from(["a", "b", "temp", "Ω"])
# Mostly numbers, which both directions read without fail; a few text
# encodings and encodings of one direction only.
good_encodings = mostly(st.sampled_from(["unsigned", "twos_complement", "Unsigned"]),
                        st.sampled_from(["UTF8", "utf-16le", "bcd", "ieee754", "ieee754_f32", "latin1", "binary"]))
good_bits = mostly(st.sampled_from([8, 16, 32]), st.sampled_from([0, 1, 3, 12, 64]))
good_orders = st.sampled_from(["big", "big", "little", "BIG"])
good_offsets = st.sampled_from([0, 4, 8, 13, 40])
good_values = mostly(st.integers(0, 127), st.one_of(st.integers(-3, 70000), st.sampled_from([1.5, "ab", b"\x01"])))
odd = st.one_of(st.sampled_from([None, -1, 2**64, "8", 8.0, StrSub("big"), StrSub("unsigned"), IntSub(8),
                                 Index(16), [1, 2], "middle", "foo", 0, 1]),
                st.builds(Cycling, st.sampled_from([(8, 16), (0, 8, 3)])))


def pick(good):
    return mostly(good, odd, one_in=20)


key_values = {
    "name": pick(good_names), "encoding": pick(good_encodings), "bits": pick(good_bits),
    "byte_order": pick(good_orders), "reverse_bits": pick(st.booleans()),
    "offset_bits": pick(good_offsets), "value": pick(good_values),
}
items = st.fixed_dictionaries(
    {key: key_values[key] for key in ["name", "encoding", "bits", "byte_order", "reverse_bits", "value"]},
    optional={"offset_bits": key_values["offset_bits"], "extra": st.integers()})
any_key = mostly(st.sampled_from(KEYS), st.one_of(st.sampled_from(["extra", 7, StrSub("bits")]),
                                                 st.builds(Sneaky, st.sampled_from(["bits", "name"]))))


class RecipeMachine(RuleBasedStateMachine):
    """Live recipes changed between calls in every way Python allows; every
    call's outcome must be that of the same call on a fresh deep copy."""

    def __init__(self):
        super().__init__()
        self.pool = []      # live item dicts
        self.owners = {}    # id(split dict) -> the object that owns it
        self.recipes = [[], []]
        self.start, self.packet = 0, bytes(range(64))

    @initialize(first=st.lists(items, min_size=1, max_size=4), second=st.lists(items, min_size=1, max_size=4))
    def start(self, first, second):
        self.recipes = [[self._new(c) for c in first], [self._new(c) for c in second]]

    def _new(self, content):
        item = dict(content)
        self.pool.append(item)
        return item

    @rule(content=items)
    def add_item(self, content):
        self._new(content)

    @precondition(lambda self: self.pool)
    @rule(data=st.data())
    def append_to_recipe(self, data):
        recipe = data.draw(st.sampled_from(self.recipes))
        recipe.append(data.draw(st.sampled_from(self.pool)))

    @precondition(lambda self: any(self.recipes))
    @rule(data=st.data())
    def reshape_recipe(self, data):
        recipe = data.draw(st.sampled_from([r for r in self.recipes if r]))
        how = data.draw(st.sampled_from(["remove", "reverse", "rotate", "twice"]))
        if how == "remove":
            del recipe[data.draw(st.integers(0, len(recipe) - 1))]
        elif how == "reverse":
            recipe.reverse()
        elif how == "rotate":
            recipe.append(recipe.pop(0))
        else:
            recipe.insert(0, recipe[-1])  # the same dict twice in one recipe

    @rule(start=st.sampled_from([0, 3, 8]), packet=st.binary(min_size=0, max_size=24))
    def new_packet(self, start, packet):
        self.start, self.packet = start, packet + bytes(range(40))

    @invariant()
    def calls_agree_with_fresh_copies(self):
        # Three times: the first call may fill what the second one uses, and
        # after a call in which every item was known the third one takes the
        # recipe's compiled plan. As tuples too, and each item alone, so that
        # an item that fails does not hide the ones after.
        # Sneaky keys equal their target during the calls of every other step.
        self.sneaky = not getattr(self, "sneaky", False)
        alone = {id(item): [item] for item in self._items_in_recipes()}
        tuples = [tuple(r) for r in self.recipes]
        for recipe in self.recipes * 3 + tuples * 3 + list(alone.values()):
            for call in (lambda r: k.pack_parameters(r), lambda r: k.unpack_parameters(self.packet, self.start, r)):
                reference = reference_copy(recipe)
                outcomes = []
                for r in (recipe, reference):
                    SNEAKY["equal"] = self.sneaky
                    try:
                        outcomes.append(outcome(call, r))
                    finally:
                        SNEAKY["equal"] = False
                assert outcomes[0] == outcomes[1]

    def _items_in_recipes(self):
        return [item for recipe in self.recipes for item in recipe]

    @precondition(lambda self: any(self.recipes))
    @rule(data=st.data(), key=any_key)
    def change(self, data, key):
        item = data.draw(st.sampled_from(self._items_in_recipes()))
        how = data.draw(st.sampled_from(["set", "del", "clear", "update", "pop", "popitem", "setdefault", "ior",
                                         "value"]))
        target = key.target if isinstance(key, Sneaky) else key
        value = data.draw(key_values.get(target, key_values["value"]) if isinstance(target, str) else odd)
        if id(item) in self.owners:
            # The object's own attribute store changes a split dict in place.
            if isinstance(key, str) and key.isidentifier():
                setattr(self.owners[id(item)], key, value)
            return
        if isinstance(key, Sneaky):
            # Before its target in the lookup's probe order.
            old = item.pop(key.target, None)
            item[key] = value
            if old is not None:
                item[key.target] = old
        elif how == "set":
            item[key] = value
        elif how == "del":
            item.pop(key, None)
        elif how == "clear":
            item.clear()
        elif how == "update":
            item.update(data.draw(items))
        elif how == "pop":
            item.pop(key, None)
        elif how == "popitem" and item:
            item.popitem()
        elif how == "setdefault":
            item.setdefault(key, value)
        elif how == "ior":
            item |= {key: value}
        else:
            item["value"] = data.draw(good_values)

    @precondition(lambda self: any(self.recipes))
    @rule(data=st.data(), key=st.sampled_from(KEYS[:6] + ["value"]), new=st.one_of(st.none(), good_bits, good_names))
    def mutating_value(self, data, key, new):
        """A value or width whose conversion changes a dict of the recipe."""
        item = data.draw(st.sampled_from(self._items_in_recipes()))
        target = data.draw(st.sampled_from(self._items_in_recipes()))
        if id(item) in self.owners:
            return
        where = data.draw(st.sampled_from(["value", "bits", "offset_bits"]))
        item[where] = Mutating(data.draw(st.sampled_from([0, 1, 8, 16])), target, key, new)

    @precondition(lambda self: any(self.recipes))
    @rule(data=st.data(), how=st.sampled_from(["reverse", "rotate"]))
    def reshaping_value(self, data, how):
        """A value whose conversion reorders the recipe list during the call."""
        recipe = data.draw(st.sampled_from([r for r in self.recipes if r]))
        item = data.draw(st.sampled_from(recipe))
        if id(item) not in self.owners:
            item["value"] = Reshaping(data.draw(st.sampled_from([0, 1, 8])), recipe, how)

    @precondition(lambda self: any(self.recipes))
    @rule(data=st.data())
    def replace_by_equal(self, data):
        recipe = data.draw(st.sampled_from([r for r in self.recipes if r]))
        i = data.draw(st.integers(0, len(recipe) - 1))
        kind = data.draw(st.sampled_from(["dict", "subclass", "split"]))
        if kind == "dict":
            recipe[i] = self._new(recipe[i])
        elif kind == "subclass":
            recipe[i] = DictSub(recipe[i])
        else:
            owner, d = split_dict(recipe[i])
            self.owners[id(d)] = owner
            recipe[i] = d

    @precondition(lambda self: any(self.recipes))
    @rule(data=st.data(), content=items)
    def free_and_reuse(self, data, content):
        """Free an item and make a dict of other content right away: it
        often gets the freed dict's address."""
        old = data.draw(st.sampled_from(self._items_in_recipes()))
        places = [(r, i) for r in self.recipes for i, x in enumerate(r) if x is old]
        for r, i in places:
            r[i] = None
        self.pool = [x for x in self.pool if x is not old]
        self.owners.pop(id(old), None)
        del old
        new = self._new(content)
        for r, i in places:
            r[i] = new

    @invariant()
    def owners_are_live(self):
        live = {id(x) for x in self._items_in_recipes()}
        self.owners = {key: o for key, o in self.owners.items() if key in live}


RecipeMachine.TestCase.settings = settings(max_examples=80, stateful_step_count=25, deadline=None,
                                           suppress_health_check=list(HealthCheck))
test_recipes_changed_between_calls = RecipeMachine.TestCase


# ---------------------------------------------------------------- watched dicts

def item(name, value=0, bits=8, **extra):
    return {"name": name, "encoding": "unsigned", "bits": bits, "byte_order": "big", "reverse_bits": False,
            "value": value, **extra}


def test_every_way_of_replacing_a_value_is_seen():
    # Each store makes a new int and frees the one before, so a value kept
    # from before the store would be a freed object.
    d = item("a", 10**20 // 10**18, bits=32)
    recipe = [d, item("b", 1)]

    def replace(n):
        return [lambda: d.__setitem__("value", 10**20 // 10**20 * n),
                lambda: d.update(value=int(str(n))),
                lambda: d.__ior__({"value": int(str(n))}),
                lambda: (d.pop("value"), d.setdefault("value", int(str(n)))),
                lambda: (d.popitem() if list(d)[-1] == "value" else None, d.__setitem__("value", int(str(n))))]

    for n in range(1000, 1060):
        replace(n)[n % 5]()
        assert k.pack_parameters(recipe) == struct.pack(">IB", n, 1)


@needs_dict_header
def test_reused_dicts_are_watched_and_changes_are_seen():
    recipe = [item("a", 1), item("b", 2, bits=16)]
    assert k.pack_parameters(recipe) == b"\x01\x00\x02"
    assert all(watcher_bits(d) for d in recipe)
    recipe[1]["value"] = 3
    assert k.pack_parameters(recipe) == b"\x01\x00\x03"
    recipe[1]["bits"] = 8
    assert k.pack_parameters(recipe) == b"\x01\x03"
    assert k.unpack_parameters(b"\x01\x03", 0, recipe) == {"a": 1, "b": 3}
    del recipe[0]["reverse_bits"]
    with pytest.raises(ValueError, match="reverse_bits"):
        k.unpack_parameters(b"\x01\x03", 0, recipe)


def test_a_value_that_moves_within_its_dict_is_found():
    d = {**item("a", 1), "offset_bits": 0}  # a key after "value"
    assert k.pack_parameters([d]) == b"\x01"
    del d["value"]
    with pytest.raises(ValueError, match="missing required field: 'value'"):
        k.pack_parameters([d])
    d["value"] = 2  # now the last entry
    assert k.pack_parameters([d]) == b"\x02"
    d.pop("offset_bits")
    d["offset_bits"] = 8
    assert k.pack_parameters([d]) == b"\x00\x02"


@needs_dict_header
def test_a_freed_dicts_address_is_not_mistaken_for_it():
    for _ in range(200):
        old = item("a", 1)
        for _ in range(3):  # cached from the second call, planned from the third
            assert k.pack_parameters([old]) == b"\x01"
        address = id(old)
        del old
        new = {"name": "b", "encoding": "unsigned", "bits": 16, "byte_order": "big", "reverse_bits": False,
               "value": 0x0102}
        if id(new) == address:
            assert k.pack_parameters([new]) == b"\x01\x02"
            assert k.unpack_parameters(b"\x01\x02", 0, [new]) == {"b": 0x0102}
            return
    pytest.skip("no address was reused")


# (An exact dict is watched from the first sight, before its keys are looked
# at; one whose keys are not all str is then never cached, which the
# stateful test's keys with their own __eq__ check.)
@needs_dict_header
@pytest.mark.parametrize("make", [
    DictSub,
    lambda d: split_dict(d)[1],             # an object's __dict__ (its owner is gone: it stays split)
])
def test_dicts_that_cannot_be_cached_are_never_watched(make):
    recipe = [make(item("a", 1))]
    assert k.pack_parameters(recipe) == b"\x01"
    assert k.unpack_parameters(b"\x01", 0, recipe) == {"a": 1}
    assert watcher_bits(recipe[0]) == 0


class Answers(Index):
    """A different answer on every call."""

    def __init__(self, *answers):
        self.answers = list(answers)

    def __index__(self):
        return self.answers.pop(0)


@pytest.mark.parametrize("key, answers, expected", [
    ("bits", (8, 16), [{"a": 1}, {"a": 0x0102}]),
    ("offset_bits", (0, 8), [{"a": 1}, {"a": 2}]),
])
def test_values_of_other_types_are_read_on_every_call(key, answers, expected):
    recipe = [{**item("a"), key: Answers(*answers)}]
    assert [k.unpack_parameters(b"\x01\x02", 0, recipe) for _ in answers] == expected


# ---------------------------------------------------------------- threads

def test_threads_share_and_change_recipes():
    shared = [item("a", 1), item("b", 2, bits=16), item("c", 3, bits=32)]
    layout = struct.Struct(">BHI")
    errors = []
    stop = threading.Event()

    def mutate():
        n = 0
        while not stop.is_set():
            d = shared[n % 3]
            d["bits"] = 16 if d["bits"] == 8 else 8
            d.pop("offset_bits", None) if n % 2 else d.update(offset_bits=8)
            d["value"] = n % 200
            n += 1

    def work(seed):
        private = [item("a", 0), item("b", 0, bits=16), item("c", 0, bits=32)]
        for n in range(3000):
            values = ((seed + n) % 256, (seed * n) % 65536, seed * 1000 + n)
            for d, v in zip(private, values):
                d["value"] = v
            try:
                packet = k.pack_parameters(private)
                assert packet == layout.pack(*values)
                assert k.unpack_parameters(packet, 0, private) == dict(zip("abc", values))
                try:
                    k.unpack_parameters(k.pack_parameters(shared), 0, shared)
                except ValueError:
                    pass  # the shared recipe may be mid-change
            except BaseException as error:  # noqa: BLE001
                errors.append(error)
                return

    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    try:
        threads = [threading.Thread(target=mutate)] + [threading.Thread(target=work, args=(s,)) for s in range(4)]
        for t in threads:
            t.start()
        for t in threads[1:]:
            t.join()
        stop.set()
        threads[0].join()
    finally:
        sys.setswitchinterval(interval)
    assert errors == []


# ---------------------------------------------------------------- memory

def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@needs_dict_header
@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs /proc")
def test_fresh_recipes_do_not_grow_memory():
    def loop(n):
        for i in range(n):
            name = f"n{i}"
            k.unpack_parameters(b"\x01", 0, [{"name": name, "encoding": "unsigned", "bits": 8,
                                                "byte_order": "big", "reverse_bits": False}])
            k.pack_parameters([item(name, i & 0xFF)])

    loop(20_000)
    blocks, rss = sys.getallocatedblocks(), rss_bytes()
    loop(300_000)
    assert sys.getallocatedblocks() - blocks < 1000
    if not UNDER_ASAN:  # its quarantine holds freed memory
        assert rss_bytes() - rss < 4 << 20
    # Entries left with their dicts: a new dict is still taken in.
    fresh = [item("z", 5)]
    k.pack_parameters(fresh)
    assert watcher_bits(fresh[0])


# ---------------------------------------------------------------- the switch and watcher slots

TAKE_SLOTS = textwrap.dedent("""
    import ctypes
    Callback = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_int, ctypes.c_void_p, ctypes.c_void_p, ctypes.c_void_p)
    callback = Callback(lambda *args: 0)
    add_watcher = ctypes.pythonapi.PyDict_AddWatcher
    add_watcher.argtypes, add_watcher.restype = [Callback], ctypes.c_int

    def take_free_slots():
        taken = 0
        while True:
            try:
                if add_watcher(callback) < 0:
                    return taken
            except Exception:
                return taken
            taken += 1
""")

SCENARIO = TAKE_SLOTS + textwrap.dedent("""
    import sys
    steps = sys.argv[1].split(",")
    free_before = None
    if steps[0] == "count":
        import kestrune
        print(take_free_slots())
        raise SystemExit
    if steps[0] == "baseline":
        print(take_free_slots())
        raise SystemExit
    import kestrune
    if steps[0] == "take_all":
        take_free_slots()
    recipe = [{"name": "a", "encoding": "unsigned", "bits": 12, "byte_order": "big", "reverse_bits": False,
               "value": 0xABC, "offset_bits": 4},
              {"name": "b", "encoding": "utf8", "bits": 16, "byte_order": "little", "reverse_bits": False,
               "value": "hi"}]
    results = []
    for value in (0xABC, 0x123):
        recipe[0]["value"] = value
        packet = kestrune.pack_parameters(recipe)
        results.append((packet.hex(), kestrune.unpack_parameters(packet, 0, recipe)))
    bits = ctypes.c_uint64.from_address(id(recipe[0]) + 3 * ctypes.sizeof(ctypes.c_ssize_t)).value & 0xFF
    print(results, bool(bits), take_free_slots() if steps[0] == "plain" else "-")
""")


def run_scenario(step, env=None):
    result = subprocess.run([sys.executable, "-c", SCENARIO, step], capture_output=True, text=True, timeout=120,
                            env={**os.environ, **(env or {})})
    assert result.returncode == 0, result.stderr
    return result.stdout.split()


@needs_dict_header
def test_watcher_slot_is_taken_at_the_first_packet_call_and_never_at_import():
    free = int(run_scenario("baseline")[0])
    assert int(run_scenario("count")[0]) == free  # importing takes none
    *results, watched, left = run_scenario("plain")
    assert watched == "True" and int(left) == free - 1


@needs_dict_header
@pytest.mark.parametrize("step, env", [("take_all", None), ("plain", {"KESTRUNE_RECIPE_CACHE": "0"})])
def test_without_a_watcher_or_when_switched_off_results_are_the_same(step, env):
    cached = run_scenario("plain")
    uncached = run_scenario(step, env)
    assert uncached[:-2] == cached[:-2]
    assert cached[-2] == "True" and uncached[-2] == "False"


# ---------------------------------------------------------------- other watchers' events

# Another watcher's callback that fails gets its failure reported, which
# runs Python code (a hook) or writes to stderr (letting other threads run)
# while the change it announced is still to come. Each mode runs in a fresh
# process, so that the cache takes its watcher id there.
OTHER_WATCHERS = textwrap.dedent("""
    import sys, threading, _testcapi
    mode = sys.argv[1]
    import kestrune as k

    def item(value=1, bits=8):
        return {"name": "a", "encoding": "unsigned", "bits": bits, "byte_order": "big", "reverse_bits": False,
                "value": value}

    if mode == "above":
        # Every id but the lowest free one taken: the cache gets that one and
        # a failing watcher registered afterwards runs after ours.
        ids = []
        while True:
            try:
                ids.append(_testcapi.add_dict_watcher(0))
            except RuntimeError:
                break
        _testcapi.clear_dict_watcher(ids[0])
        k.pack_parameters([item()])
        _testcapi.clear_dict_watcher(ids[1])
        failing = _testcapi.add_dict_watcher(1)
        assert failing == ids[1] > ids[0], (failing, ids)
    else:
        k.pack_parameters([item()])
        failing = _testcapi.add_dict_watcher(1)

    if mode == "threads":
        d = item()
        _testcapi.watch_dict(failing, d)
        stop = False

        def reader():
            while not stop:
                k.pack_parameters([d])
                k.unpack_parameters(b"\\x01\\x02", 0, [d])

        sys.setswitchinterval(1e-6)
        t = threading.Thread(target=reader)
        t.start()
        wrong = 0
        for n in range(3000):
            bits = 16 if n % 2 else 8
            d["bits"] = bits
            d["value"] = n % 256
            wrong += k.pack_parameters([d]) != (n % 256).to_bytes(bits // 8)
        stop = True
        t.join()
        print(wrong)
        raise SystemExit

    # A packet call inside the report: it reads the dict before the change.
    d = item()
    k.pack_parameters([d])
    _testcapi.watch_dict(failing, d)
    sys.unraisablehook = lambda u: k.pack_parameters([d])
    d["bits"] = 16
    sys.unraisablehook = sys.__unraisablehook__
    print(k.pack_parameters([d]).hex(), [k.unpack_parameters(b"\\x01\\x02", 0, [d])["a"] for _ in range(2)])

    # The value the store replaces must not be remembered (nor read once freed).
    d = item(int("1000"), bits=16)
    k.pack_parameters([d])
    d["bits"] = 16  # drops the entry
    sys.unraisablehook = lambda u: k.pack_parameters([d])
    d["value"] = 7
    sys.unraisablehook = sys.__unraisablehook__
    print([k.pack_parameters([d]).hex() for _ in range(2)])
""")


@pytest.mark.skipif(FREE_THREADED, reason="the cache is off without the GIL")
@pytest.mark.parametrize("mode", ["later", "above", "threads"])
def test_other_watchers_events_cannot_refill_a_stale_entry(mode):
    pytest.importorskip("_testcapi")
    result = subprocess.run([sys.executable, "-c", OTHER_WATCHERS, mode], capture_output=True, text=True,
                            timeout=300)
    assert result.returncode == 0, result.stderr[-3000:]
    if mode == "threads":
        assert result.stdout.split() == ["0"]
    else:
        assert result.stdout.splitlines() == ["0001 [258, 258]", "['0007', '0007']"]
