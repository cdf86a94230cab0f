"""Internal faults surface as PanicException, failed allocations as
MemoryError; the module stays usable."""

import subprocess
import sys

import pytest

import kestrune

testcapi = pytest.importorskip("_testcapi")


def test_result_allocation_failure_is_a_memory_error():
    # Only the first allocation fails: the result int of the call.
    try:
        testcapi.set_nomemory(0, 1)
        kestrune.decode_twos_complement(2**62, 64)
    except BaseException as error:  # noqa: BLE001 - the type is under test
        caught = error
    else:
        caught = None
    finally:
        testcapi.remove_mem_hooks()
    assert type(caught) is MemoryError
    assert kestrune.decode_twos_complement(0xFF, 8) == -1


def test_fault_while_raising_is_a_memory_error():
    # Every allocation fails, the PanicException's text included: the call
    # raises MemoryError and the process goes on.
    code = (
        "import _testcapi, kestrune\n"
        "try:\n"
        "    _testcapi.set_nomemory(0, 0)\n"
        "    kestrune.decode_twos_complement(2**62, 64)\n"
        "except MemoryError:\n"
        "    _testcapi.remove_mem_hooks()\n"
        "    print('MemoryError')\n"
    )
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert (result.returncode, result.stdout) == (0, "MemoryError\n"), result.stderr
