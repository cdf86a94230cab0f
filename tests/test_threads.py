"""Concurrency: many threads on shared inputs, and the free-threaded interpreter.

The stress test switches threads as often as the interpreter allows and
compares every outcome with the one computed beforehand on a single thread.
On a free-threaded build with PYTHON_GIL=0 the threads really run in parallel.
"""

import os
import subprocess
import sys
import sysconfig
import threading

import pytest

import kestrune as k

THREADS = 8
ROUNDS = 25

FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))

RECIPE = [
    {"name": "version", "encoding": "unsigned", "bits": 3, "byte_order": "big", "reverse_bits": False, "value": 5},
    {"name": "apid", "encoding": "unsigned", "bits": 11, "byte_order": "big", "reverse_bits": True, "value": 1234},
    {"name": "temp", "encoding": "twos_complement", "bits": 16, "byte_order": "little", "reverse_bits": False,
     "value": -40},
    {"name": "count", "encoding": "packed_bcd_signed", "bits": 16, "byte_order": "big", "reverse_bits": False,
     "value": -123},
    {"name": "volts", "encoding": "ieee754", "bits": 32, "byte_order": "big", "reverse_bits": False,
     "value": 3.25},
    {"name": "label", "encoding": "utf16be", "bits": 64, "byte_order": "big", "reverse_bits": False,
     "value": "Aé€"},
    {"name": "raw", "encoding": "binary", "bits": 12, "offset_bits": 100, "byte_order": "big",
     "reverse_bits": False, "value": b"\x0a\xbc"},
]


def for_unpacking(item):
    out = {key: value for key, value in item.items() if key != "value"}
    if out["encoding"] == "ieee754":
        out["encoding"] = "ieee754_f32"
    return out


UNPACK_RECIPE = [for_unpacking(item) for item in RECIPE if item["encoding"] != "binary"]
BAD_RECIPE = [dict(RECIPE[0]), dict(RECIPE[1], value=4096)]
PACKET = k.pack_parameters(RECIPE)
TEXT = "telemetry ✓ \U0001F6F0"

# Shared inputs: every thread passes these very objects.
CALLS = [
    (k.pack_parameters, (RECIPE,)),
    (k.unpack_parameters, (PACKET, 0, UNPACK_RECIPE)),
    (k.unpack_parameters, (PACKET, 3, UNPACK_RECIPE[1:])),
    (k.pack_parameters, (BAD_RECIPE,)),
    (k.unpack_parameters, (PACKET[:3], 0, UNPACK_RECIPE)),
    (k.encode_twos_complement, (-12345, 32)),
    (k.decode_sign_magnitude, (0x8005, 16)),
    (k.encode_packed_bcd, (9876543210, 64)),
    (k.decode_unpacked_bcd, (0xF1F2D3, 24, True)),
    (k.encode_ieee754_f16, (0.1,)),
    (k.decode_ieee754_f128, (0x3FFF8000000000000000000000000000,)),
    (k.encode_utf16, (TEXT,)),
    (k.decode_utf8, (TEXT.encode(),)),
    (k.decode_utf32le, (TEXT.encode("utf-32-le"),)),
    (k.encode_windows_1252, ("€uro",)),
    (k.decode_windows_1252, (b"\xef\xbb\xbf\xc3\xa9",)),
    (k.encode_us_ascii, ("né",)),
    (k.decode_ti_f32, (1,)),
]


def outcome(function, args):
    try:
        return "ok", function(*args)
    except Exception as error:  # the failures are part of what is compared
        return type(error), str(error)


@pytest.fixture
def fast_switching():
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        yield
    finally:
        sys.setswitchinterval(interval)


def test_threads_on_shared_inputs_get_exact_results(fast_switching):
    expected = [outcome(function, args) for function, args in CALLS]
    assert sum(result[0] == "ok" for result in expected) == len(CALLS) - 4  # four calls fail
    start = threading.Barrier(THREADS)
    wrong = []

    def work(seed):
        start.wait()
        for round_ in range(ROUNDS):
            # Each thread walks the calls in its own order.
            for i in range(len(CALLS)):
                j = (i * (2 * seed + 1) + round_) % len(CALLS)
                got = outcome(*CALLS[j])
                if got != expected[j]:
                    wrong.append((seed, j, got))

    threads = [threading.Thread(target=work, args=(seed,)) for seed in range(THREADS)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert wrong == []
    # The shared inputs are untouched.
    assert k.pack_parameters(RECIPE) == PACKET


GIL_WARNING = ("RuntimeWarning: The global interpreter lock (GIL) has been enabled to load module 'kestrune', "
               "which has not declared that it can run safely without the GIL.")


@pytest.mark.skipif(not FREE_THREADED, reason="only a free-threaded build can run without the GIL")
@pytest.mark.parametrize("gil_off, warnings, gil_enabled", [(False, 1, True), (True, 0, False)])
def test_import_turns_the_gil_on_and_warns_once(gil_off, warnings, gil_enabled):
    code = (
        "import importlib, sys\n"
        "import kestrune\n"
        "sys.modules.pop('kestrune')\n"
        "importlib.import_module('kestrune')\n"
        "print(sys._is_gil_enabled(), kestrune.encode_twos_complement(-1, 8))\n"
    )
    env = {key: value for key, value in os.environ.items() if key not in {"PYTHON_GIL", "PYTHONWARNINGS"}}
    if gil_off:
        env["PYTHON_GIL"] = "0"
    result = subprocess.run([sys.executable, "-W", "always", "-c", code], capture_output=True, text=True, env=env,
                            timeout=60)
    assert result.returncode == 0, result.stderr
    assert result.stdout == f"{gil_enabled} 255\n"
    assert result.stderr.count(GIL_WARNING) == warnings, result.stderr


MIB = 1 << 20
BIG_TEXT = "telemetry ✓ " * (MIB // 3)  # 4 MiB of UTF-8


def ran_during(call):
    """Whether a thread waiting for the GIL ran while `call` did: with a switch
    interval far longer than the call, it gets the GIL only if the call lets go
    of it (and the system wakes the thread in time, hence the retries)."""
    ran = []
    go = threading.Event()
    other = threading.Thread(target=lambda: (go.wait(), ran.append(True)))
    other.start()
    interval = sys.getswitchinterval()
    sys.setswitchinterval(100)
    try:
        go.set()
        call()
        return bool(ran)
    finally:
        sys.setswitchinterval(interval)
        other.join()


@pytest.mark.skipif(FREE_THREADED, reason="without the GIL the other thread runs anyway")
# The small text stays below 1 MiB in every form, the packet's included.
@pytest.mark.parametrize("text, released", [(BIG_TEXT, True), (BIG_TEXT[: MIB // 16], False)], ids=["large", "small"])
@pytest.mark.parametrize(
    "call",
    [
        lambda t: k.decode_utf8(t.encode()),
        lambda t: k.encode_utf16le(t),
        lambda t: k.pack_parameters([{"name": "t", "encoding": "utf32", "bits": 32 * len(t) + 32, "byte_order": "big",
                                      "reverse_bits": False, "value": t}]),
    ],
    ids=["decode", "encode", "pack"],
)
def test_large_text_codec_work_lets_other_threads_run(text, released, call):
    tries = 5 if released else 2
    assert any(ran_during(lambda: call(text)) for _ in range(tries)) == released
