"""The module's process-wide state: first use from several threads, failed
initialisation, interpreter restarts, and threads without the GIL.

Each case runs in a child process of its own (fresh state, and a deadlock or
crash fails the test instead of the suite)."""

import os
import shutil
import subprocess
import sys
import sysconfig
import textwrap

import pytest

import kestrune

RECIPE = [{"name": "p", "encoding": "unsigned", "bits": 8, "byte_order": "big", "reverse_bits": False,
           "value": 0xA5}]
# The module's directory, for children that do not inherit sys.path.
MODULE_DIR = os.path.dirname(kestrune.__file__)


def run_python(code, *, timeout=60, env=None):
    try:
        return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                              timeout=timeout, env=env)
    except subprocess.TimeoutExpired:
        pytest.fail(f"the child process did not finish within {timeout} s (deadlocked?)")


def output_of(code, **kwargs):
    result = run_python(code, **kwargs)
    assert result.returncode == 0, result.stderr
    return result.stdout


@pytest.mark.parametrize("call", ["pack_parameters({})", "unpack_parameters(b'', 0, {})"])
def test_first_use_from_several_threads(call):
    # The first use looks up collections.abc.Sequence; the import may let
    # the other threads in while it runs.
    out = output_of(f"""
        import builtins, threading, time, kestrune
        original = builtins.__import__
        def slow_import(name, *args, **kwargs):
            if name == "collections.abc":
                time.sleep(0.2)
            return original(name, *args, **kwargs)
        builtins.__import__ = slow_import
        errors = []
        def first_use():
            try:
                kestrune.{call}
            except TypeError as error:
                errors.append(str(error))
        threads = [threading.Thread(target=first_use) for _ in range(4)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        print("\\n".join(errors))
    """, timeout=30)
    assert out == "argument 'recipe': 'dict' object cannot be cast as 'Sequence'\n" * 4


def test_interrupted_first_use_is_tried_again():
    out = output_of("""
        import builtins
        original = builtins.__import__
        pending = [True]
        def interrupt_once(name, *args, **kwargs):
            if name == "collections.abc" and pending:
                pending.clear()
                raise KeyboardInterrupt
            return original(name, *args, **kwargs)
        builtins.__import__ = interrupt_once
        def use():
            import kestrune
            try:
                kestrune.pack_parameters(5)
            except TypeError as error:
                return str(error)
        try:
            use()
        except KeyboardInterrupt:
            print("interrupted")
        print(use())
    """)
    assert out == "interrupted\nargument 'recipe': 'int' object cannot be cast as 'Sequence'\n"


@pytest.mark.parametrize("call, failing", [
    ("pack_parameters([])", 1),
    ("unpack_parameters(b'', 0, [])", 1),
    (f"unpack_parameters(b'\\xa5', 0, {RECIPE!r})", 2),
    ("decode_utf8(b'abc')", 3),
])
def test_allocation_failures_in_a_first_call(call, failing):
    # The first `failing` allocations of the process's first call fail: the
    # call may fail (MemoryError) but must not abort, and the next call works.
    pytest.importorskip("_testcapi")
    out = output_of(f"""
        import _testcapi, kestrune
        _testcapi.set_nomemory(0, {failing})
        try:
            kestrune.{call}
        except BaseException as error:
            _testcapi.remove_mem_hooks()
            outcome = type(error).__name__
        else:
            _testcapi.remove_mem_hooks()
            outcome = "done"
        print(outcome in ("MemoryError", "done"), outcome)
        print(repr(kestrune.{call}))
    """)
    first, again = out.splitlines()
    assert first.startswith("True"), first
    assert again == repr(eval("kestrune." + call))


def test_allocation_failure_anywhere_in_the_import():
    # Every allocation of loading and initialising the module fails in turn,
    # one per attempt: each attempt fails cleanly and the next one starts
    # afresh, until the import goes through and the module works in full.
    pytest.importorskip("_testcapi")
    out = output_of(f"""
        import _imp, _testcapi
        real_create = _imp.create_dynamic
        failing = 0
        def create_dynamic(*args):
            _testcapi.set_nomemory(failing, failing + 1)
            try:
                return real_create(*args)
            finally:
                _testcapi.remove_mem_hooks()
        _imp.create_dynamic = create_dynamic
        failures = set()
        while True:
            try:
                import kestrune
                break
            except BaseException as error:
                failures.add(type(error).__name__)
                failing += 1
        _imp.create_dynamic = real_create
        print(failing > 100, sorted(failures))
        print(kestrune.pack_parameters({RECIPE!r}).hex(), kestrune.decode_utf8(b"abc"))
        try:
            kestrune.pack_parameters(5)
        except TypeError as error:
            print(error)
        _testcapi.set_nomemory(0, 1)
        try:
            kestrune.decode_twos_complement(2**62, 64)
        except BaseException as error:
            _testcapi.remove_mem_hooks()
            print(type(error).__name__)
    """)
    assert out.splitlines() == [
        "True ['MemoryError']",
        "a5 abc",
        "argument 'recipe': 'int' object cannot be cast as 'Sequence'",
        "MemoryError",
    ]


EMBEDDING_PROGRAM = r"""
#include <Python.h>

static const char* kUse =
    "import kestrune\n"
    "recipe = [dict(name='p', encoding='unsigned', bits=8, byte_order='big', reverse_bits=False, value=165)]\n"
    "assert kestrune.pack_parameters(recipe) == b'\\xa5'\n"
    "assert kestrune.unpack_parameters(b'\\x5a', 0, recipe) == {'p': 0x5a}\n"
    /* Each runtime takes a dict watcher of its own for the recipe cache. */
    "import ctypes, os, sysconfig\n"
    "assert sysconfig.get_config_var('Py_GIL_DISABLED') or os.environ.get('KESTRUNE_RECIPE_CACHE') == '0' or "
    "ctypes.c_uint64.from_address(id(recipe[0]) + 3 * ctypes.sizeof(ctypes.c_ssize_t)).value & 0xFF\n"
    "assert kestrune.encode_packed_bcd(value=12, bits=8) == 0x12\n"
    "try:\n"
    "    kestrune.pack_parameters(5)\n"
    "except TypeError as error:\n"
    "    assert str(error) == \"argument 'recipe': 'int' object cannot be cast as 'Sequence'\", error\n"
    "try:\n"
    "    kestrune.pack_parameters([dict(recipe[0], bits=4)])\n"
    "except ValueError as error:\n"
    "    print('runtime ok:', error)\n";

static void placeholder(void) {}

int main(void) {
    for (int round = 1; round <= 2; ++round) {
        Py_Initialize();
        if (PyRun_SimpleString(kUse) != 0) {
            return 10 + round;
        }
        if (Py_FinalizeEx() < 0) {
            return 20 + round;
        }
    }
    /* A runtime in which no more exit functions can be registered: the
       module cannot arrange to forget this runtime, so it refuses to load. */
    Py_Initialize();
    while (Py_AtExit(placeholder) == 0) {
    }
    if (PyRun_SimpleString("try:\n    import kestrune\nexcept ImportError as error:\n    print(error)\n") != 0) {
        return 30;
    }
    return Py_FinalizeEx() < 0 ? 31 : 0;
}
"""


def embedding_build_command(source, program):
    """The compiler command that links `source` against libpython, or None."""
    compiler = shutil.which(os.environ.get("CC", "cc"))
    config = sysconfig.get_config_var
    version = config("LDVERSION") or config("VERSION")
    if not compiler or not version:
        return None
    libdirs = [d for d in (config("LIBDIR"), config("LIBPL")) if d]
    if not any(os.path.exists(os.path.join(d, name)) for d in libdirs
               for name in (config("LDLIBRARY") or "", config("LIBRARY") or "")):
        return None
    command = [compiler, str(source), "-o", str(program), "-I" + sysconfig.get_path("include")]
    command += ["-L" + d for d in libdirs] + ["-Wl,-rpath," + d for d in libdirs] + ["-lpython" + version]
    command += (config("LIBS") or "").split() + (config("SYSLIBS") or "").split()
    if not config("Py_ENABLE_SHARED"):
        command += (config("LINKFORSHARED") or "").split()
    return command


def test_runtime_finalised_and_initialised_again(tmp_path):
    # An application that embeds the interpreter finalises it and starts a
    # new one: the module of the first runtime must not leak into the second.
    source, program = tmp_path / "embed.c", tmp_path / "embed"
    source.write_text(EMBEDDING_PROGRAM)
    command = embedding_build_command(source, program)
    if command is None:
        pytest.skip("no C compiler or no libpython to embed the interpreter")
    build = subprocess.run(command, capture_output=True, text=True, timeout=120)
    assert build.returncode == 0, build.stderr
    env = dict(os.environ, PYTHONPATH=MODULE_DIR)
    try:
        result = subprocess.run([str(program)], capture_output=True, text=True, timeout=60, env=env)
    except subprocess.TimeoutExpired:
        pytest.fail("the embedding program did not finish")
    assert result.returncode == 0, result.stdout + result.stderr
    ok = "runtime ok: ValueError: Value 165 is too large for 4 bits\n"
    assert result.stdout == ok * 2 + (
        "kestrune cannot register its clean-up for interpreter finalisation: too many Py_AtExit functions\n")


@pytest.mark.skipif(not sysconfig.get_config_var("Py_GIL_DISABLED"),
                    reason="needs a free-threaded CPython: the GIL cannot be turned off in this one")
def test_containers_changed_by_other_threads_without_the_gil():
    # With the GIL forced off, threads replace the items of the recipe list
    # (and, where bytearray locks itself, change a binary value) while
    # others pack and unpack it. Results vary; memory must not be corrupted.
    out = output_of("""
        import sys, threading, time, kestrune
        assert not sys._is_gil_enabled(), "the GIL is on"
        data = bytearray(b"abcd")
        item = dict(name="p", encoding="binary", bits=64, byte_order="big", reverse_bits=False, value=data)
        recipe = [dict(item) for _ in range(1000)]
        stop = time.monotonic() + 3
        def change_recipe():
            while time.monotonic() < stop:
                recipe[:] = [dict(item) for _ in range(500)]
                recipe.extend([dict(item) for _ in range(600)])
                del recipe[100:]
                recipe.extend(object() for _ in range(900))
        def change_value():
            while time.monotonic() < stop:
                data.extend(b"efgh")
                del data[4:]
        def use(call):
            while time.monotonic() < stop:
                try:
                    call(recipe)
                except ValueError:
                    pass
        workers = [change_recipe, change_recipe]
        workers += [lambda: use(kestrune.pack_parameters), lambda: use(lambda r: kestrune.unpack_parameters(bytes(8), 0, r))]
        if sys.version_info >= (3, 14):
            workers.append(change_value)
        threads = [threading.Thread(target=work) for work in workers]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        print("done")
    """, env=dict(os.environ, PYTHON_GIL="0"), timeout=120)
    assert out == "done\n"


# ---------------------------------------------------------------- daemon threads at finalisation

@pytest.mark.skipif(sys.platform == "win32", reason="threads are ended by pthread_exit")
@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="the sanitizer's runtime fails its own check on a stack that pthread_exit unwinds")
@pytest.mark.parametrize("work", [
    "kestrune.pack_parameters([dict(RECIPE[0], value=Slow())])",
    "kestrune.decode_twos_complement(Slow(), 8)",
    "kestrune.unpack_parameters(b'\\xa5' * 8, 0, SlowRecipe())",
])
def test_daemon_thread_inside_a_call_at_finalisation(work):
    # The daemon thread waits for the GIL inside a call while the interpreter
    # finalises (a module's finaliser keeps it busy): the interpreter ends the
    # thread by unwinding its stack, and the process must exit normally.
    result = run_python(f"""
        import sys, threading, time, collections.abc, kestrune
        RECIPE = {RECIPE!r}

        class Slow:
            def __index__(self):
                time.sleep(0.3)
                return 1

        class SlowRecipe(collections.abc.Sequence):
            def __len__(self):
                return 8
            def __getitem__(self, i):
                if not 0 <= i < 8:
                    raise IndexError(i)
                time.sleep(0.05)
                return dict(RECIPE[0], name=f"p{{i}}")

        def loop():
            while True:
                {work}

        threading.Thread(target=loop, daemon=True).start()
        time.sleep(0.1)

        class Busy:
            def __del__(self):
                time.sleep(1)

        sys.modules["busy_at_exit"] = Busy()
    """)
    # A free-threaded interpreter warns when the module turns the GIL on:
    # not a line of the child's own.
    stderr = "".join(line for line in result.stderr.splitlines(keepends=True)
                     if "has been enabled to load module 'kestrune'" not in line)
    assert (result.returncode, stderr) == (0, "")


# ---------------------------------------------------------------- out of memory

@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", "") or not os.path.exists("/proc/self/statm"),
                    reason="needs /proc and an address-space limit (which the sanitizer's shadow memory defeats)")
@pytest.mark.skipif(bool(sysconfig.get_config_var("Py_GIL_DISABLED")),
                    reason="the free-threaded build's allocator reserves its address space up front")
def test_out_of_memory_is_memory_error():
    # Each call needs more memory than the limit leaves (the results alone
    # are 80 and 120 MB): it raises MemoryError, as CPython's codecs do. The
    # pack may also succeed, should it need less than the limit.
    out = output_of("""
        import os, resource, kestrune as k

        def item(encoding, bits, **value):
            return dict(name="t", encoding=encoding, bits=bits, byte_order="big", reverse_bits=False, **value)

        utf16 = "\u20ac".encode("utf-16be") * (40 << 20)
        text = "\u20ac" * (30 << 20)
        cases = {
            "decode_utf16be": (60, lambda: k.decode_utf16be(utf16)),
            "encode_utf32": (60, lambda: k.encode_utf32(text)),
            "unpack_parameters": (60, lambda: k.unpack_parameters(utf16, 0, [item("utf-16be", len(utf16) * 8)])),
            "pack_parameters": (150, lambda: k.pack_parameters([item("utf-32be", len(text) * 32, value=text)])),
        }
        hard = resource.getrlimit(resource.RLIMIT_AS)[1]
        in_use = int(open("/proc/self/statm").read().split()[0]) * os.sysconf("SC_PAGE_SIZE")
        for name, (headroom, call) in cases.items():
            resource.setrlimit(resource.RLIMIT_AS, (in_use + (headroom << 20), hard))
            try:
                call()
                print(name, "done")
            except BaseException as error:
                print(name, type(error).__name__, repr(str(error)), *getattr(error, "__notes__", []))
            resource.setrlimit(resource.RLIMIT_AS, (hard, hard))
    """, timeout=120)
    lines = out.splitlines()
    assert lines[:3] == ["decode_utf16be MemoryError ''", "encode_utf32 MemoryError ''",
                         "unpack_parameters MemoryError '' in recipe item 0 't' (utf-16be, 671088640 bits at bit 0)"]
    assert lines[3] in ("pack_parameters done",
                        "pack_parameters MemoryError '' in recipe item 0 't' (utf-32be, 1006632960 bits at bit 0)")
