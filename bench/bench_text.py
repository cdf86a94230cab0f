"""Time 64 KiB text round trips through the text codecs beside Python's own.

Run with the built module on PYTHONPATH:
    PYTHONPATH=build/<dir> python bench/bench_text.py [--repeat N] [--size CHARS]
Prints the best time per call in microseconds and ours / Python's.

Both sides build the str in its final storage (1, 2 or 4 bytes per
character) and the bytes object in place, and both decode the same bytes
(ours). Python's "utf-16" and "utf-32" codecs write little-endian, ours
big-endian after the mark, so those encode rows compare a byte swap with
none; their decoders read our mark and swap as we do. The two sides take
turns batch by batch. The machine is shared: compare the two columns of one
run, never rows of different runs.
"""

import argparse
import timeit

import kestrune as k


SAMPLES = {
    "ascii": "Telemetry frame 0042: battery 27.9 V, mode NOMINAL. ",
    "mixed": "Grüße € αβγ Привет 日本語 テスト 😀 naïve – ",
    "latin1": "Grüße aus Zürich: café, naïve, façade, Ærø ½ ",
    "cp1252": "Grüße – “café” naïve € œuvre Š ",
}

# (name, our encoder, our decoder, Python codec, sample kinds)
CODECS = [
    ("utf8", k.encode_utf8, k.decode_utf8, "utf-8", ("ascii", "mixed")),
    ("utf16", k.encode_utf16, k.decode_utf16, "utf-16", ("ascii", "mixed")),
    ("utf16le", k.encode_utf16le, k.decode_utf16le, "utf-16-le", ("ascii", "mixed")),
    ("utf16be", k.encode_utf16be, k.decode_utf16be, "utf-16-be", ("ascii", "mixed")),
    ("utf32", k.encode_utf32, k.decode_utf32, "utf-32", ("ascii", "mixed")),
    ("utf32le", k.encode_utf32le, k.decode_utf32le, "utf-32-le", ("ascii", "mixed")),
    ("utf32be", k.encode_utf32be, k.decode_utf32be, "utf-32-be", ("ascii", "mixed")),
    ("us_ascii", k.encode_us_ascii, k.decode_us_ascii, "ascii", ("ascii",)),
    ("iso_8859_1", k.encode_iso_8859_1, k.decode_iso_8859_1, "latin-1", ("ascii", "latin1")),
    ("windows_1252", k.encode_windows_1252, k.decode_windows_1252, "cp1252", ("ascii", "cp1252")),
]


def text_of(kind, size):
    sample = SAMPLES[kind]
    return (sample * (size // len(sample) + 1))[:size]


def best_us(ours, theirs, repeat, number):
    """Best µs per call of each; the two take turns, one batch each per round,
    so that drift in the machine's speed touches both alike."""
    timers = (timeit.Timer(ours), timeit.Timer(theirs))
    best = [float("inf"), float("inf")]
    for _ in range(repeat):
        for i, timer in enumerate(timers):
            best[i] = min(best[i], timer.timeit(number))
    return best[0] / number * 1e6, best[1] / number * 1e6


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--repeat", type=int, default=7)
    parser.add_argument("--size", type=int, default=64 * 1024, help="characters of text")
    args = parser.parse_args()
    number = max(20, 2_000_000 // max(args.size, 1) // 10)
    print(f"{args.size} characters of text, best of {args.repeat}, µs per call")
    print(f"{'codec':<13}{'text':<8}{'dir':<5}{'ours':>10}{'python':>10}{'ratio':>8}")
    for name, enc, dec, codec, kinds in CODECS:
        for kind in kinds:
            text = text_of(kind, args.size)
            data = enc(text)
            assert dec(data) == text, (name, kind)
            for direction, ours, theirs in (
                ("enc", lambda: enc(text), lambda: text.encode(codec)),
                ("dec", lambda: dec(data), lambda: data.decode(codec)),
            ):
                t_ours, t_py = best_us(ours, theirs, args.repeat, number)
                print(f"{name:<13}{kind:<8}{direction:<5}{t_ours:>10.3f}{t_py:>10.3f}{t_ours / t_py:>8.2f}")


if __name__ == "__main__":
    main()
