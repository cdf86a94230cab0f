"""Command-line options of the test suite."""

import os


def pytest_addoption(parser):
    group = parser.getgroup("differential", "seeded random differential test (test_differential.py)")
    group.addoption("--seed", type=int, default=None,
                    help="seed of the random recipes and packets (default: a fresh one, shown in the header)")
    group.addoption("--budget", type=float, default=3.0, help="seconds of random cases (default: 3)")


def pytest_configure(config):
    if config.option.seed is None:
        config.option.seed = int.from_bytes(os.urandom(4), "big")


def pytest_report_header(config):
    return f"differential test: --seed {config.option.seed} --budget {config.option.budget:g}"
