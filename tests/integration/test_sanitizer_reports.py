# SPDX-License-Identifier: GPL-2.0-or-later
"""The harness finds every sanitizer report of a scenario: in a report file or in a
program's output, from a program that ended on it, was killed, or was left running at
the end (the sanitizer runs of scripts/run-tests.sh rely on it)."""

import shutil
import subprocess
import time

import pytest

from harness import Sandbox

FAULTS = r"""
#include <pthread.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>
static int shared;
static void *bump(void *arg) { shared += arg != NULL; return NULL; }
int main(int argc, char **argv) {
    if (strcmp(argv[1], "use-after-free") == 0) {
        char *p = malloc(4);
        free(p);
        return p[argc];
    }
    if (strcmp(argv[1], "overflow") == 0) {
        int x = 0x7fffffff - 2 + argc;
        return x + atoi("5") > 0;
    }
    if (strcmp(argv[1], "race") == 0) {
        pthread_t t;
        pthread_create(&t, NULL, bump, argv);
        bump(argv);
        pthread_join(t, NULL);
    }
    pause();  /* stays running, as a daemon would */
    return 0;
}
"""

CASES = [
    # (sanitizers, argument, what the report says, the program ends on it)
    ("address,undefined", "use-after-free", "ERROR: AddressSanitizer: heap-use-after-free", True),
    ("address,undefined", "overflow", "runtime error: signed integer overflow", True),
    ("thread", "race", "WARNING: ThreadSanitizer: data race", False),
]


@pytest.fixture(scope="module")
def programs(tmp_path_factory):
    if shutil.which("cc") is None:
        pytest.skip("needs a C compiler")
    out = tmp_path_factory.mktemp("sanitized")
    source = out / "faults.c"
    source.write_text(FAULTS)
    built = {}
    for sanitizers in {case[0] for case in CASES}:
        path = out / f"faults-{sanitizers.replace(',', '-')}"
        subprocess.run(["cc", "-g", "-O0", f"-fsanitize={sanitizers}", "-pthread", str(source),
                        "-o", str(path)], check=True)
        built[sanitizers] = path
    return built


def wait_for_report(sb, timeout=10.0):
    """The sandbox's sanitizer reports, once there is one (a file the program writes)."""
    deadline = time.monotonic() + timeout
    while not (found := sb.sanitizer_reports()):
        assert time.monotonic() < deadline, "no sanitizer report"
        time.sleep(0.05)
    return found


@pytest.mark.parametrize("sanitizers,arg,text,ends", CASES, ids=[c[1] for c in CASES])
def test_report_fails_the_scenario(build_dir, programs, sanitizers, arg, text, ends):
    with Sandbox(build_dir) as sb:
        daemon = sb.start_daemon([programs[sanitizers], arg], name="faulty")
        if ends:
            assert daemon.wait() != 0
        else:
            wait_for_report(sb)
            assert daemon.alive()
        with pytest.raises(AssertionError, match=text.split(": ", 1)[1]):
            daemon.stop_checked()
    # Every program of the scenario has ended: the teardown's findings hold the report,
    # from which the sandbox fixture fails a scenario.
    assert any(text in found for _, found in sb.sanitizer_findings), sb.sanitizer_findings


def test_clean_program_leaves_no_finding(build_dir, programs):
    with Sandbox(build_dir) as sb:
        daemon = sb.start_daemon([programs["address,undefined"], "idle"], name="idle")
        daemon.stop_checked()
    assert sb.sanitizer_findings == []
