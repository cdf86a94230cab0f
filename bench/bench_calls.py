"""Per-call cost of the module boundary, side by side with baselines.

Run by hand: .venv/bin/python bench/bench_calls.py
Prints ns per call (best of several repeats) for a few module functions and,
beside each, a pure-Python implementation of the same work and a trivial C
builtin call of the same arity (the floor of any extension call).
"""

import timeit

import kestrune as k


def py_decode_twos_complement(value, bits):
    return value - (1 << bits) if value >> (bits - 1) & 1 else value


def py_encode_twos_complement(value, bits):
    low, high = -(1 << (bits - 1)), (1 << (bits - 1)) - 1
    if not low <= value <= high:
        raise ValueError("out of range")
    return value & ((1 << bits) - 1)


def best_ns(stmt, number=200_000, repeat=7, **names):
    times = timeit.repeat(stmt, globals=names, number=number, repeat=repeat)
    return min(times) / number * 1e9


def main():
    rows = [
        ("decode_twos_complement(0xFF, 8)",
         "f(0xFF, 8)", dict(f=k.decode_twos_complement),
         "f(0xFF, 8)", dict(f=py_decode_twos_complement)),
        ("decode_twos_complement(value=0xFF, bits=8)",
         "f(value=0xFF, bits=8)", dict(f=k.decode_twos_complement),
         "f(value=0xFF, bits=8)", dict(f=py_decode_twos_complement)),
        ("encode_twos_complement(-5, 8)",
         "f(-5, 8)", dict(f=k.encode_twos_complement),
         "f(-5, 8)", dict(f=py_encode_twos_complement)),
    ]
    floor = best_ns("f(1, 2)", f=divmod)
    print(f"{'call':48} {'kestrune':>10} {'pure Python':>12} {'ratio':>7}")
    for label, stmt, names, py_stmt, py_names in rows:
        ours = best_ns(stmt, **names)
        theirs = best_ns(py_stmt, **py_names)
        print(f"{label:48} {ours:8.1f}ns {theirs:10.1f}ns {theirs / ours:6.2f}x")
    print(f"{'baseline: builtin divmod(1, 2)':48} {floor:8.1f}ns")


if __name__ == "__main__":
    main()
