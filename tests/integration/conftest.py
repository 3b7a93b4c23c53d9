# SPDX-License-Identifier: GPL-2.0-or-later
"""Fixtures of the integration tests: `build_dir` and a fresh `sandbox` per test."""

import os

import pytest

from harness import Sandbox, build_dir_from_env


def _expected_length(item):
    """Longest first: a scenario with its own time-out, then the slow ones, the rest."""
    if item.get_closest_marker("timeout") is not None:
        return 0
    return 1 if item.get_closest_marker("slow") is not None else 2


def pytest_collection_modifyitems(config, items):
    # The long scenarios start first, so that they run beside the short ones instead of
    # after them. pytest-xdist hands each worker a run of consecutive tests first (a
    # quarter of its share): the long ones are dealt out so that every worker's first
    # run starts with its part of them.
    items.sort(key=_expected_length)
    # Each worker collects for itself and knows how many there are.
    workers = getattr(config, "workerinput", {}).get("workercount")
    if not isinstance(workers, int) or workers < 2 or len(items) < 2 * workers:
        return
    chunk = max(len(items) // workers // 4, 2)
    long_ones = [item for item in items if _expected_length(item) < 2]
    if len(long_ones) > workers * chunk:
        return
    slots = [None] * len(items)
    for n, item in enumerate(long_ones):
        slots[(n % workers) * chunk + n // workers] = item
    rest = iter(items[len(long_ones):])
    items[:] = [slot if slot is not None else next(rest) for slot in slots]


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_makereport(item, call):
    outcome = yield
    report = outcome.get_result()
    setattr(item, "rep_" + report.when, report)


@pytest.fixture(scope="session")
def build_dir():
    path = build_dir_from_env()
    if not (path / "build.ninja").exists():
        pytest.fail(f"no build in {path}: set QUIL_BUILD_DIR to an absolute build dir")
    return path


@pytest.fixture
def sandbox(request, build_dir):
    if os.geteuid() != 0:
        pytest.skip("the sandbox needs root")
    sb = Sandbox(build_dir)
    yield sb
    rep = getattr(request.node, "rep_call", None)
    if rep is not None and rep.failed:
        # Shown under "Captured stdout teardown" of the failed test.
        print(sb.report())
    sb.close()
    # A sanitizer build of a daemon reported a fault: the scenario fails, whatever it
    # checked itself (the daemon may have been killed or left running at the end).
    if sb.sanitizer_findings:
        pytest.fail("sanitizer reports:\n" + "\n".join(
            f"--- {name} ---\n{text}" for name, text in sb.sanitizer_findings), pytrace=False)
