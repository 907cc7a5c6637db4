"""The end-to-end cases' fixture: `session`, a started Session (display, prefix,
wineserver, no COM port yet) with its files in <out>/<case>/, case being the
function's name without "test_", "-" for "_". Its failed checks fail the case
once it has run to its end."""

import os
import signal

import pytest

from harness import Inputs, Session, fresh_out, process_end
from harness.session import ROOT, WINDOWS_VERSIONS

INPUT_NAMES = ("template", "installer", "uidriver", "preload", "firmware", "wine_root")


def pytest_addoption(parser):
    tree = Inputs.of_tree(ROOT)
    for name in INPUT_NAMES:
        parser.addoption("--" + name.replace("_", "-"), default=getattr(tree, name))
    parser.addoption("--out", default=os.path.join(ROOT, "build", "host", "e2e"), help="artefacts: OUT/<case>/")
    parser.addoption("--case", help="run this case alone")
    parser.addoption("--windows-version", choices=sorted(WINDOWS_VERSIONS),
                     help="the Windows version the prefix shows the tool (default: Wine's)")


def case_name(item):
    return item.name[len("test_"):].replace("_", "-")


def pytest_collection_modifyitems(config, items):
    case = config.getoption("--case")
    if case:
        config.hook.pytest_deselected(items=[item for item in items if case_name(item) != case])
        items[:] = [item for item in items if case_name(item) == case]


@pytest.fixture(scope="session")
def inputs(pytestconfig):
    found = Inputs(*(os.path.abspath(pytestconfig.getoption(name)) for name in INPUT_NAMES))
    missing = found.missing()
    if missing:
        pytest.fail("missing %s (build both builds first)" % ", ".join(missing))
    return found


@pytest.fixture
def session(request, inputs):
    out = os.path.join(os.path.abspath(request.config.getoption("--out")), case_name(request.node))
    fresh_out(out, inputs.wine_root)
    with Session(out, inputs) as s:
        s.start(without_sys_admin=request.node.get_closest_marker("without_sys_admin") is not None,
                windows_version=request.config.getoption("--windows-version"))
        yield s


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_call(item):
    """A case that ran to its end passes when all its checks held and the tool wrote no standard error."""
    outcome = yield
    s = item.funcargs.get("session")
    if s is None or outcome.excinfo is not None:
        return
    if s.tool is not None:
        process_end(s.tool, grace_s=2, sig=signal.SIGKILL)  # its standard error is whole once it has ended
        errors = s.tool_errors()
        s.check(errors == "", "the tool wrote nothing to standard error", repr(errors[:300]))
    failed = [what for ok, what in s.checks if not ok]
    s.log("%s: %s (%d checks); artefacts in %s" % (item.name, "FAILED %d" % len(failed) if failed else "passed",
                                                   len(s.checks), s.out))
    if failed or not s.checks:
        raise AssertionError("%d of %d checks failed:\n  %s" % (len(failed), len(s.checks), "\n  ".join(failed)))
