"""The module object: registration, signatures, import behaviour."""

import importlib
import inspect
import sys
import sysconfig

import pytest

import kestrune

REGISTRY_ORDER = [
    "unpack_parameters", "pack_parameters",
    "decode_ones_complement", "decode_twos_complement", "decode_sign_magnitude",
    "decode_unpacked_bcd", "decode_packed_bcd",
    "decode_ieee754_f16", "decode_ieee754_f32", "decode_ieee754_f64", "decode_ieee754_f128",
    "decode_ieee754_1985_f32", "decode_ieee754_1985_f64", "decode_ieee754_1985_f80",
    "decode_mil_std_1750a_f32", "decode_mil_std_1750a_f48", "decode_dec_f32", "decode_dec_f64",
    "decode_ibm_f32", "decode_ibm_f64", "decode_ti_f32", "decode_ti_f40",
    "decode_us_ascii", "decode_iso_8859_1", "decode_windows_1252",
    "decode_utf8", "decode_utf16", "decode_utf16le", "decode_utf16be",
    "decode_utf32", "decode_utf32le", "decode_utf32be",
    "encode_ones_complement", "encode_twos_complement", "encode_sign_magnitude",
    "encode_unpacked_bcd", "encode_packed_bcd",
    "encode_ieee754_f16", "encode_ieee754_f32", "encode_ieee754_f64", "encode_ieee754_f128",
    "encode_ieee754_1985_f32", "encode_ieee754_1985_f64", "encode_ieee754_1985_f80",
    "encode_mil_std_1750a_f32", "encode_mil_std_1750a_f48", "encode_dec_f32", "encode_dec_f64",
    "encode_ibm_f32", "encode_ibm_f64", "encode_ti_f32", "encode_ti_f40",
    "encode_us_ascii", "encode_iso_8859_1", "encode_windows_1252",
    "encode_utf8", "encode_utf16", "encode_utf16le", "encode_utf16be",
    "encode_utf32", "encode_utf32le", "encode_utf32be",
]

WITH_SIGNED = {"decode_unpacked_bcd", "decode_packed_bcd", "encode_unpacked_bcd", "encode_packed_bcd"}


def expected_parameters(name):
    if name == "unpack_parameters":
        return "(packet_bytes, offset_bits, recipe)"
    if name == "pack_parameters":
        return "(recipe)"
    if name in WITH_SIGNED:
        return "(value, bits, signed=False)"
    if name.endswith(("complement", "magnitude")):
        return "(value, bits)"
    if name.startswith("encode_") and name[7:] in {"us_ascii", "iso_8859_1", "windows_1252"} or name.startswith("encode_utf"):
        return "(text)"
    if name.startswith("decode_") and (name[7:] in {"us_ascii", "iso_8859_1", "windows_1252"} or name.startswith("decode_utf")):
        return "(bytes)"
    if name in {"encode_ieee754_f16", "encode_ieee754_f32", "encode_ieee754_f64", "decode_ieee754_f16",
                "decode_ieee754_f32", "decode_ieee754_f64", "decode_ieee754_f128"}:
        return "(value)"
    return "(_value)"


def test_all_lists_every_function_in_registry_order():
    assert len(REGISTRY_ORDER) == 62
    assert kestrune.__all__ == REGISTRY_ORDER
    assert isinstance(kestrune.__all__, list)


def test_module_doc_is_empty():
    assert kestrune.__doc__ == ""


@pytest.mark.parametrize("name", REGISTRY_ORDER)
def test_function_objects(name):
    function = getattr(kestrune, name)
    assert function.__name__ == name
    assert function.__module__ == "kestrune"
    assert function.__self__ is kestrune
    assert function.__doc__ is None
    assert function.__text_signature__ == expected_parameters(name)
    assert str(inspect.signature(function)) == expected_parameters(name)


def test_signed_default_is_false_in_signature():
    parameter = inspect.signature(kestrune.encode_packed_bcd).parameters["signed"]
    assert parameter.default is False


def test_reimport_returns_the_same_module():
    saved = sys.modules.pop("kestrune")
    try:
        again = importlib.import_module("kestrune")
        assert again is saved
    finally:
        sys.modules["kestrune"] = saved


def test_only_pyinit_is_exported():
    import subprocess

    result = subprocess.run(["nm", "-D", "--defined-only", kestrune.__file__], capture_output=True, text=True)
    if result.returncode != 0:
        pytest.skip("nm is not available")
    symbols = [line.split()[-1] for line in result.stdout.splitlines() if line.strip()]
    assert [s for s in symbols if s.startswith("PyInit_")] == ["PyInit_kestrune"]
    assert all(not s.startswith("_ZN8kestrune") for s in symbols)


def _run_in_subinterpreter(code, config=None):
    interpreters = pytest.importorskip("_interpreters")
    interp = interpreters.create(config) if config is not None else interpreters.create()
    try:
        return interpreters.run_string(interp, code)
    finally:
        interpreters.destroy(interp)


def test_sub_interpreter_import_is_refused():
    interpreters = pytest.importorskip("_interpreters")
    # A legacy sub-interpreter lets single-phase modules reach their own
    # initialisation, so this exercises the module's own refusal. A
    # free-threaded CPython refuses them in every sub-interpreter itself.
    config = interpreters.new_config("legacy")
    code = f"import sys\nsys.path[:0] = {sys.path!r}\nimport kestrune\n"
    failure = _run_in_subinterpreter(code, config)
    assert failure is not None
    assert failure.type.__name__ == "ImportError"
    if sysconfig.get_config_var("Py_GIL_DISABLED"):
        assert failure.msg == "module kestrune does not support loading in subinterpreters"
    else:
        assert "sub-interpreters" in failure.msg
    # The main interpreter keeps working.
    assert kestrune.encode_twos_complement(-1, 8) == 255
