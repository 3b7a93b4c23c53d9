"""Fixtures of the integration tests: `build_dir` and a fresh `sandbox` per test."""

import os

import pytest

from harness import Sandbox, build_dir_from_env


def pytest_collection_modifyitems(items):
    # The long scenarios start first, so that they run beside the short ones instead of
    # after them.
    items.sort(key=lambda item: item.get_closest_marker("slow") is None)


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
