# The bed's pytest plugin (scripts/test): says why a test runs again, where -rR names the test only.
import pytest


@pytest.hookimpl(tryfirst=True)
def pytest_report_teststatus(report, config):
    if report.outcome == "rerun":
        crash = getattr(report.longrepr, "reprcrash", None)  # a plain text failure has none
        why = crash.message if crash else report.longrepr
        config.get_terminal_writer().line(f"\nrerun {report.nodeid} ({report.when}): {why}")
